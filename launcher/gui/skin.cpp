#include "launcher/gui/skin.h"

#include <wx/dcbuffer.h>
#include <wx/dcmemory.h>
#include <wx/image.h>
#include <wx/log.h>
#include <wx/mstream.h>

#include <string>

#include "launcher/gui/layout.h"
#include "launcher/gui/wx_support.h"
#include "resources/skin_images.h"

namespace gui {
namespace {

wxBitmap FromPng(std::span<const unsigned char> png) {
    if (png.empty()) return wxBitmap();
    // A picture that cannot be read leaves a plain control, not a box.
    wxLogNull quiet;
    wxMemoryInputStream stream(png.data(), png.size());
    wxImage image;
    if (!image.LoadFile(stream, wxBITMAP_TYPE_PNG)) return wxBitmap();
    return wxBitmap(image);
}

struct Piece {
    int id;
    Rect at;
};

// Where the frame pieces sit; their sizes are those of the bitmaps.
constexpr Piece kPieces[] = {
    {kSkinTop, kSkinTopRect},
    {kSkinBottom, kSkinBottomRect},
    {kSkinLeft, kSkinLeftRect},
    {kSkinRight, kSkinRightRect},
};

}  // namespace

wxBitmap SkinBitmap(int id) {
    return FromPng(SkinBitmapPng(id));
}

wxIconBundle WindowIcons() {
    wxIconBundle icons;
    for (int size : kEmbeddedIconSizes) {
        const wxBitmap bitmap = FromPng(SkinImagePng("icon-" + std::to_string(size)));
        if (!bitmap.IsOk()) continue;
        wxIcon icon;
        icon.CopyFromBitmap(bitmap);
        icons.AddIcon(icon);
    }
    return icons;
}

SkinPanel::SkinPanel(wxWindow* parent)
    : wxPanel(parent, wxID_ANY, wxPoint(0, 0), wxSize(kClientWidth, kClientHeight),
              wxTAB_TRAVERSAL | wxBORDER_NONE) {
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    SetBackgroundColour(ToWx(colour::kBackground));

    picture_ = wxBitmap(kClientWidth, kClientHeight);
    wxMemoryDC dc(picture_);
    dc.SetBackground(wxBrush(ToWx(colour::kBackground)));
    dc.Clear();
    const wxBitmap banner = FromPng(SkinImagePng(kBannerPanelImage));
    if (banner.IsOk()) dc.DrawBitmap(banner, kBannerRect.x, kBannerRect.y);
    for (const Piece& piece : kPieces) {
        const wxBitmap bitmap = SkinBitmap(piece.id);
        if (bitmap.IsOk()) dc.DrawBitmap(bitmap, piece.at.x, piece.at.y);
    }
    dc.SelectObject(wxNullBitmap);
    Bind(wxEVT_PAINT, &SkinPanel::OnPaint, this);
}

wxBitmap SkinPanel::PixelsUnder(const wxRect& rect) const {
    const wxRect inside = rect.Intersect(wxRect(picture_.GetSize()));
    if (inside != rect || inside.IsEmpty()) return wxBitmap();
    return picture_.GetSubBitmap(inside);
}

void SkinPanel::OnPaint(wxPaintEvent&) {
    wxAutoBufferedPaintDC dc(this);
    dc.DrawBitmap(picture_, 0, 0);
}

}  // namespace gui
