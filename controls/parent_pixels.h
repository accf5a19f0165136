// How a skinned control learns what lies under it. Child windows on GTK
// cannot read back their parent's drawn pixels, so a parent that paints a
// skin implements IParentPixels and hands out pieces of the picture it
// paints; the controls cache that piece as their background.
#pragma once

#include <wx/bitmap.h>
#include <wx/gdicmn.h>

class wxWindow;

class IParentPixels {
public:
    // The parent's pixels in `rect` (its client coordinates), as painted.
    virtual wxBitmap PixelsUnder(const wxRect& rect) const = 0;

protected:
    ~IParentPixels() = default;
};

// The pixels under `child`: from a parent that offers them, else the
// parent's background colour. Never null-sized for a sized child.
wxBitmap ParentPixelsUnder(const wxWindow& child);
// A bitmap of `image`'s pixels in which RGB(255, 0, 255) is transparent.
wxBitmap MaskedBitmap(const wxBitmap& bitmap);
