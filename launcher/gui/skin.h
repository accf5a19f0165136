// The window's skin: the embedded pictures as toolkit bitmaps, and the
// panel that paints the four frame pieces and the banner's own panel and
// hands out the pixels under each control (IParentPixels).
#pragma once

#include <wx/bitmap.h>
#include <wx/iconbndl.h>
#include <wx/panel.h>

#include "controls/parent_pixels.h"

namespace gui {

// Skin bitmap `id` (164..200), or a null bitmap when it is missing or
// cannot be read (the control then draws its plain look).
wxBitmap SkinBitmap(int id);
// The window's icon at every embedded size.
wxIconBundle WindowIcons();

// The client area's background: bitmap 187 at (0, 0), 188 at (0, 416),
// 189 at (0, 20), 190 at (363, 20), and the banner's panel in the part
// they leave open. The picture is composed once.
class SkinPanel : public wxPanel, public IParentPixels {
public:
    explicit SkinPanel(wxWindow* parent);

    wxBitmap PixelsUnder(const wxRect& rect) const override;
    const wxBitmap& Picture() const { return picture_; }

private:
    void OnPaint(wxPaintEvent& event);

    wxBitmap picture_;
};

}  // namespace gui
