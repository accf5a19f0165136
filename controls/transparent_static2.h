// CTransparentStatic2: a label whose background is whatever its parent
// painted under it (IParentPixels), with the text in RGB(239, 239, 239)
// unless the owner sets another colour. The parent's pixels are copied at
// the first paint and reused; a change of size drops the copy.
//
// A new text repaints the whole label at once, background first, so a
// shorter text leaves nothing of a longer one behind. Line breaks start
// new lines; with kEndEllipsis a line that does not fit ends in "...", with
// kMiddleEllipsis it loses characters from its middle and keeps a final
// " [n/m]" whole (controls/label_rules.h). A line taller than a line of the
// label's font (Chinese text in a fallback font) is drawn smaller until it
// fits that height.
//
// User-interface thread only.
#pragma once

#include <wx/bitmap.h>
#include <wx/window.h>

class CTransparentStatic2 : public wxWindow {
public:
    enum Style { kPlain = 0, kEndEllipsis = 1, kMiddleEllipsis = 2 };
    static const wxColour kTextColour;

    CTransparentStatic2(wxWindow* parent, int id, const wxPoint& position, const wxSize& size,
                        int style = kPlain);

    void SetLabel(const wxString& label) override;
    wxString GetLabel() const override { return label_; }
    void SetTextColour(const wxColour& colour);
    const wxColour& TextColour() const { return colour_; }
    // Takes a new copy of the parent's pixels at the next paint (the
    // parent's picture under the label has changed).
    void DropBackground();

private:
    void OnPaint(wxPaintEvent& event);

    wxString label_;
    wxColour colour_;
    int style_;
    wxBitmap background_;
};
