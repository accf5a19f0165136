#!/usr/bin/env python3
"""Writes the window's skin as SVG files, one per bitmap, into a folder.

    make_skin.py OUT_FOLDER

The build turns each SVG into a PNG with rsvg-convert and embeds the PNGs
in the program. Every picture is drawn here, from the palette below, so a
change of colour or caption is a change of this file. Pixels of
RGB(255, 0, 255) are transparent in the window; shapes that border on them
are drawn without anti-aliasing, so no edge pixel blends into that colour.

Positions inside the right-hand panel (bitmap 190) follow the window's
control places: the panel's origin is the client point (363, 20).
Standard library only.
"""

import os
import sys

MAGENTA = "#ff00ff"

# The palette: dark slate surfaces, light text, one warm accent (the speed
# graph's columns) and quiet colours for the actions.
INK = "#0d0f13"
DEEP = "#14171d"
FRAME_TOP = "#252a33"
FRAME_BOTTOM = "#171a20"
PANEL_TOP = "#222732"
PANEL_BOTTOM = "#1a1e26"
BOX = "#161920"
EDGE = "#2e3542"
EDGE_LIGHT = "#3c4554"
CAPTION = "#8e98a9"
TITLE = "#9aa4b5"
ACCENT = "#d5ba11"

FONT = "Noto Sans CJK TC, DejaVu Sans, sans-serif"
LATIN = "DejaVu Sans, Noto Sans CJK TC, sans-serif"

PANEL_X, PANEL_Y = 363, 20


def svg(width, height, body, defs=""):
    return (
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
        f'viewBox="0 0 {width} {height}">\n'
        f"<defs>{defs}</defs>\n{body}\n</svg>\n"
    )


def vgradient(name, top, bottom):
    return (
        f'<linearGradient id="{name}" x1="0" y1="0" x2="0" y2="1">'
        f'<stop offset="0" stop-color="{top}"/><stop offset="1" stop-color="{bottom}"/>'
        f"</linearGradient>"
    )


def text(x, y, content, size, fill, weight="normal", anchor="start", family=FONT, extra=""):
    return (
        f'<text x="{x}" y="{y}" font-family="{family}" font-size="{size}px" '
        f'font-weight="{weight}" fill="{fill}" text-anchor="{anchor}" {extra}>{content}</text>'
    )


def crisp_rect(x, y, w, h, fill, stroke=None, rx=0, opacity=1):
    stroke_attr = f' stroke="{stroke}" stroke-width="1"' if stroke else ""
    if opacity != 1:
        stroke_attr += f' fill-opacity="{opacity}"'
    # Half-pixel offsets put a 1-pixel stroke exactly on the pixel grid.
    if stroke:
        x, y, w, h = x + 0.5, y + 0.5, w - 1, h - 1
    return (
        f'<rect x="{x}" y="{y}" width="{w}" height="{h}" rx="{rx}" fill="{fill}"'
        f'{stroke_attr} shape-rendering="crispEdges"/>'
    )


# The top strip (187), with the program's name: the window can be dragged by it.
def top_strip():
    body = crisp_rect(0, 0, 748, 20, "url(#g)")
    body += crisp_rect(0, 19, 748, 1, INK)
    body += crisp_rect(9, 7, 6, 6, ACCENT)
    body += text(21, 14, "ZK4 DOWNLOADER", 10, TITLE, "bold", family=LATIN,
                 extra='letter-spacing="2"')
    return svg(748, 20, body, vgradient("g", FRAME_TOP, FRAME_BOTTOM))


# The bottom strip (188).
def bottom_strip():
    body = crisp_rect(0, 0, 748, 21, "url(#g)")
    body += crisp_rect(0, 0, 748, 1, EDGE)
    return svg(748, 21, body, vgradient("g", FRAME_BOTTOM, DEEP))


# The strip left of the banner (189).
def left_strip():
    body = crisp_rect(0, 0, 21, 396, "url(#g)")
    body += crisp_rect(20, 0, 1, 396, INK)
    body += crisp_rect(9, 8, 3, 40, ACCENT)
    return svg(21, 396, body,
               '<linearGradient id="g" x1="0" y1="0" x2="1" y2="0">'
               f'<stop offset="0" stop-color="{FRAME_TOP}"/>'
               f'<stop offset="1" stop-color="{FRAME_BOTTOM}"/></linearGradient>')


def box(x, y, w, h):
    """A group box in panel coordinates."""
    return crisp_rect(x, y, w, h, BOX, EDGE, rx=3)


def caption(client_x, client_y, label, height=14):
    # Centred on the row of the value it names.
    x = client_x - PANEL_X
    y = client_y - PANEL_Y + height / 2 + 4.5
    return text(x, y, label, 12, CAPTION)


# The right-hand panel (190) with the captions of the values.
def right_panel():
    body = crisp_rect(0, 0, 385, 396, "url(#g)")
    # The divider between the banner and the panel.
    body += crisp_rect(0, 0, 1, 396, INK)
    body += crisp_rect(1, 0, 1, 396, EDGE)
    body += box(21, 2, 344, 88)       # file, received, total
    body += box(21, 106, 344, 30)     # elapsed, remaining
    body += box(21, 146, 344, 96)     # speed and its graph
    body += box(21, 254, 344, 66)     # the two bars
    body += box(21, 326, 344, 34)     # the download folder
    # Thin separators between the three rows of the first box.
    body += crisp_rect(29, 32, 328, 1, "#20252e")
    body += crisp_rect(29, 63, 328, 1, "#20252e")
    body += crisp_rect(191, 110, 1, 22, "#20252e")
    # An accent mark at the head of each box.
    for y, h in ((2, 88), (106, 30), (146, 96), (254, 66), (326, 34)):
        body += crisp_rect(21, y + 6, 2, min(h - 12, 18), ACCENT)
    body += caption(395, 28, "檔案")
    body += caption(395, 59, "已下載")
    body += caption(395, 90, "總容量")
    body += caption(395, 134, "經過時間")
    body += caption(570, 134, "剩餘時間")
    body += caption(395, 173, "速度")
    body += caption(395, 282, "目前", 18)
    body += caption(395, 312, "全部", 18)
    body += caption(395, 356, "下載位置")
    return svg(385, 396, body, vgradient("g", PANEL_TOP, PANEL_BOTTOM))


# The bar's background (180) and its fill (179), tiled every 85 pixels:
# segments of 17 pixels, so the tiles join without a seam.
def bar_background():
    body = crisp_rect(0, 0, 286, 18, INK, EDGE_LIGHT)
    body += crisp_rect(1, 1, 284, 1, "#07080a")
    return svg(286, 18, body)


def bar_fill():
    body = crisp_rect(0, 0, 85, 16, "url(#g)")
    body += crisp_rect(0, 0, 85, 1, "#6fb2e6")
    for x in range(16, 85, 17):
        body += crisp_rect(x, 0, 1, 16, "#1d4e78")
    return svg(85, 16, body, vgradient("g", "#4596d6", "#1f5a8c"))


# The graph's panel (200): a dark field with a dotted grid, the columns'
# gaps falling between the dots.
def graph_background():
    dots = "".join(
        crisp_rect(x, y, 1, 1, "#262c37")
        for y in range(3, 69, 6) for x in range(5, 342, 5)
    )
    lines = "".join(crisp_rect(0, y, 342, 1, "#1b2028") for y in (17, 34, 51))
    body = crisp_rect(0, 0, 342, 69, "#0b0d11") + lines + dots
    return svg(342, 69, body)


# Buttons: a face with a frame and the caption; the corners are magenta,
# so the panel shows through them.
FACES = {
    # name: (top, bottom, frame, text)
    "neutral": ("#343b48", "#242932", "#4a5364", "#dfe4ec"),
    "neutral-over": ("#434b5a", "#2f3540", ACCENT, "#ffffff"),
    "start": ("#c9ad14", "#8f7a0c", "#e2c73a", "#15171c"),
    "start-over": ("#e6ca2a", "#a99010", "#fff0a0", "#0d0f13"),
    "stop": ("#9c4336", "#6c2c24", "#c0614f", "#f3e9e7"),
    "stop-over": ("#b9513f", "#80352b", "#e7907c", "#ffffff"),
    "run": ("#2f8d68", "#1e5f46", "#4db58a", "#effaf5"),
    "run-over": ("#38a77b", "#237054", "#8fe0bd", "#ffffff"),
    "disabled": ("#1e2128", "#1b1e24", "#2b303a", "#50576a"),
}


def button(width, height, face, label, size=13):
    top, bottom, frame, ink = FACES[face]
    body = crisp_rect(0, 0, width, height, MAGENTA)
    body += crisp_rect(0, 0, width, height, "url(#g)", frame, rx=3)
    if face != "disabled":
        body += crisp_rect(2, 1, width - 4, 1, "#ffffff", opacity=0.14)
    body += text(width / 2, height / 2 + size * 0.36, label, size, ink, "bold", "middle")
    return svg(width, height, body, vgradient("g", top, bottom))


def check_box(ticked):
    body = crisp_rect(0, 0, 16, 16, MAGENTA)
    body += crisp_rect(1, 1, 14, 14, BOX, EDGE_LIGHT, rx=2)
    if ticked:
        body += ('<path d="M4 8.5 L7 11.5 L12.5 4.5" fill="none" stroke="%s" '
                 'stroke-width="2" stroke-linecap="square"/>' % ACCENT)
    return svg(16, 16, body)


# What the banner's place shows until (or unless) a banner arrives.
def banner_panel():
    rings = "".join(
        f'<circle cx="171" cy="170" r="{r}" fill="none" stroke="#232935" stroke-width="1"/>'
        for r in range(40, 260, 22)
    )
    body = crisp_rect(0, 0, 342, 396, "url(#g)") + rings
    body += text(171, 190, "ZK4", 64, "#3a4352", "bold", "middle", family=LATIN)
    body += crisp_rect(141, 206, 60, 2, ACCENT)
    body += text(171, 232, "DOWNLOADER", 12, "#5b6576", "bold", "middle", family=LATIN,
                 extra='letter-spacing="3"')
    return svg(342, 396, body, vgradient("g", "#1d222b", "#111318"))


BIG = (108, 25)
SMALL = (65, 22)

PIECES = {
    # The folder button (pointer over, normal, disabled).
    "164": lambda: button(*SMALL, "neutral-over", "變更", 12),
    "165": lambda: button(*SMALL, "neutral", "變更", 12),
    "166": lambda: button(*SMALL, "disabled", "變更", 12),
    # Close.
    "171": lambda: button(*BIG, "neutral", "關閉"),
    "172": lambda: button(*BIG, "disabled", "關閉"),
    "173": lambda: button(*BIG, "neutral-over", "關閉"),
    # Start.
    "174": lambda: button(*BIG, "start", "開始下載"),
    "175": lambda: button(*BIG, "disabled", "開始下載"),
    "176": lambda: button(*BIG, "start-over", "開始下載"),
    # The consent check box (clear, ticked).
    "177": lambda: check_box(False),
    "178": lambda: check_box(True),
    "179": bar_fill,
    "180": bar_background,
    "187": top_strip,
    "188": bottom_strip,
    "189": left_strip,
    "190": right_panel,
    # Stop.
    "191": lambda: button(*BIG, "stop-over", "停止下載"),
    "192": lambda: button(*BIG, "stop", "停止下載"),
    "193": lambda: button(*BIG, "disabled", "停止下載"),
    # Run the installer.
    "197": lambda: button(*BIG, "run-over", "執行安裝"),
    "198": lambda: button(*BIG, "disabled", "執行安裝"),
    "199": lambda: button(*BIG, "run", "執行安裝"),
    "200": graph_background,
    "banner-panel": banner_panel,
}


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: make_skin.py OUT_FOLDER\n")
        return 2
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, draw in PIECES.items():
        path = os.path.join(out, name + ".svg")
        with open(path, "w", encoding="utf-8") as f:
            f.write(draw())
    return 0


if __name__ == "__main__":
    sys.exit(main())
