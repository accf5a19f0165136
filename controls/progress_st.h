// CProgressST: a bar drawn from two bitmaps, a background drawn at the
// top-left corner and a fill tiled over the filled part from (1, 1), with
// a centred text ("%d%%" by default) that takes one colour over the fill
// and another over the background. Without bitmaps it draws two plain
// rectangles. The arithmetic is in progress_rules.h.
//
// User-interface thread only.
#pragma once

#include <wx/bitmap.h>
#include <wx/window.h>

#include <string>

#include "controls/progress_rules.h"

class CProgressST : public wxWindow {
public:
    static const wxColour kTextColour;

    CProgressST(wxWindow* parent, int id, const wxPoint& position, const wxSize& size,
                ProgressTextStyle style = ProgressTextStyle::kPercent);

    // An inverted range is stored as given and fills nothing.
    void SetRange(int lower, int upper);
    // Kept within the range.
    void SetPos(int position);
    int GetPos() const { return position_; }
    int Lower() const { return lower_; }
    int Upper() const { return upper_; }
    void SetStep(int step) { step_ = step; }
    int Step() const { return step_; }
    void SetTextFormat(const std::string& format);
    void SetTextColours(const wxColour& overFill, const wxColour& overBackground);
    // Both bitmaps are needed; until then the plain look is drawn.
    void SetBitmaps(const wxBitmap& fill, const wxBitmap& background);
    bool BitmapsLoaded() const { return loaded_; }

    int FillWidth() const;
    std::string Text() const;

private:
    void OnPaint(wxPaintEvent& event);

    int lower_ = 0;
    int upper_ = 100;
    int step_ = 10;
    int position_ = 0;
    ProgressTextStyle style_;
    std::string format_;
    wxColour overFill_;
    wxColour overBackground_;
    wxBitmap fill_;
    wxBitmap background_;
    bool loaded_ = false;
};
