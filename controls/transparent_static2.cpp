#include "controls/transparent_static2.h"

#include <wx/control.h>
#include <wx/dcbuffer.h>
#include <wx/tokenzr.h>

#include <algorithm>

#include "controls/draw_scope.h"
#include "controls/label_rules.h"
#include "platform/text.h"
#include "controls/parent_pixels.h"

const wxColour CTransparentStatic2::kTextColour(239, 239, 239);

CTransparentStatic2::CTransparentStatic2(wxWindow* parent, int id, const wxPoint& position,
                                         const wxSize& size, int style)
    : wxWindow(parent, id, position, size, wxBORDER_NONE | wxFULL_REPAINT_ON_RESIZE),
      colour_(kTextColour),
      style_(style) {
    // The label paints every pixel itself; an erase first would flicker.
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    Bind(wxEVT_PAINT, &CTransparentStatic2::OnPaint, this);
    Bind(wxEVT_SIZE, [this](wxSizeEvent& event) {
        DropBackground();
        event.Skip();
    });
}

void CTransparentStatic2::SetLabel(const wxString& label) {
    if (label == label_) return;
    label_ = label;
    Refresh();
    Update();
}

void CTransparentStatic2::SetTextColour(const wxColour& colour) {
    if (colour == colour_) return;
    colour_ = colour;
    Refresh();
}

void CTransparentStatic2::DropBackground() {
    background_ = wxBitmap();
    Refresh();
}

void CTransparentStatic2::OnPaint(wxPaintEvent&) {
    wxAutoBufferedPaintDC dc(this);
    const wxSize size = GetClientSize();
    if (!background_.IsOk() || background_.GetSize() != size)
        background_ = ParentPixelsUnder(*this);
    if (background_.IsOk()) dc.DrawBitmap(background_, 0, 0);

    const wxFont base = GetFont();
    CSelFont font(dc, base);
    CSelTextColor colour(dc, colour_);
    CSelBkMode mode(dc, wxTRANSPARENT);
    const int lineHeight = dc.GetCharHeight();
    // Text starts at the top, as in a static control; a font whose line is
    // taller than the label is centred on it, so the glyphs show rather
    // than the leading.
    int y = std::min(0, (size.y - lineHeight) / 2);
    wxStringTokenizer lines(label_, "\n", wxTOKEN_RET_EMPTY_ALL);
    while (lines.HasMoreTokens()) {
        wxString line = lines.GetNextToken();
        // Glyphs of a taller fallback font move the baseline down: such a
        // line is drawn smaller, as tall as a line of the label's font.
        wxFont lineFont = base;
        auto heightAt = [&](int pixels) {
            wxFont sized = base;
            sized.SetPixelSize(wxSize(0, pixels));
            int width = 0, height = 0;
            dc.GetTextExtent(line, &width, &height, nullptr, nullptr, &sized);
            return height;
        };
        int textWidth = 0, textHeight = 0;
        dc.GetTextExtent(line, &textWidth, &textHeight);
        if (textHeight > lineHeight && base.GetPixelSize().y > 0) {
            lineFont.SetPixelSize(wxSize(
                0, FittingPixelSize(base.GetPixelSize().y, 8, lineHeight, heightAt)));
            dc.SetFont(lineFont);
        }
        if (style_ & kEndEllipsis)
            line = wxControl::Ellipsize(line, dc, wxELLIPSIZE_END, size.x, wxELLIPSIZE_FLAGS_NONE);
        if (style_ & kMiddleEllipsis)
            line = wxString::FromUTF8(plat::WideToAnsi(plat::FitMiddleKeepingTail(
                plat::AnsiToWide(line.utf8_string()), size.x, [&](const std::u16string& text) {
                    int width = 0, height = 0;
                    dc.GetTextExtent(wxString::FromUTF8(plat::WideToAnsi(text)), &width, &height);
                    return width;
                })));
        dc.DrawText(line, 0, y);
        dc.SetFont(base);
        y += lineHeight;
    }
}
