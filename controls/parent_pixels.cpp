#include "controls/parent_pixels.h"

#include <wx/dcmemory.h>
#include <wx/window.h>

namespace {
// Every skin bitmap marks its transparent pixels with this colour.
const wxColour kTransparent(255, 0, 255);
}  // namespace

wxBitmap ParentPixelsUnder(const wxWindow& child) {
    const wxRect rect = child.GetRect();
    if (rect.IsEmpty()) return wxBitmap();
    const wxWindow* parent = child.GetParent();
    if (const auto* pixels = dynamic_cast<const IParentPixels*>(parent)) {
        wxBitmap piece = pixels->PixelsUnder(rect);
        if (piece.IsOk()) return piece;
    }
    wxBitmap plain(rect.GetSize());
    wxMemoryDC dc(plain);
    dc.SetBackground(wxBrush(parent ? parent->GetBackgroundColour() : *wxBLACK));
    dc.Clear();
    dc.SelectObject(wxNullBitmap);
    return plain;
}

wxBitmap MaskedBitmap(const wxBitmap& bitmap) {
    if (!bitmap.IsOk()) return bitmap;
    wxImage image = bitmap.ConvertToImage();
    // A mask rather than alpha: the skin's pictures are drawn to be keyed.
    if (image.HasAlpha()) image.ClearAlpha();
    image.SetMaskColour(kTransparent.Red(), kTransparent.Green(), kTransparent.Blue());
    return wxBitmap(image);
}
