// Scope objects over a device context: each sets one drawing value for as
// long as it lives and puts the previous one back when it ends, so an
// early return inside a paint handler cannot leave a control's font or
// colour on the context for the next one.
//
// wxDC has no text-alignment state (each call takes its own alignment),
// so there is no alignment scope.
#pragma once

#include <wx/colour.h>
#include <wx/dc.h>
#include <wx/font.h>

// A font owned by a scope; nothing more than the toolkit's font.
class CMyFont : public wxFont {
public:
    using wxFont::wxFont;
    explicit CMyFont(const wxFont& font) : wxFont(font) {}
};

// The base of the scopes: the context they act on, which must outlive them.
class CSelect {
public:
    CSelect(const CSelect&) = delete;
    CSelect& operator=(const CSelect&) = delete;

protected:
    explicit CSelect(wxDC& dc) : dc_(dc) {}
    ~CSelect() = default;

    wxDC& dc_;
};

// Selects a copy of `font`, held by the scope.
class CSelFont : public CSelect {
public:
    CSelFont(wxDC& dc, const wxFont& font) : CSelect(dc), previous_(dc.GetFont()), font_(font) {
        if (font_.IsOk()) dc_.SetFont(font_);
    }
    ~CSelFont() { dc_.SetFont(previous_.IsOk() ? previous_ : wxNullFont); }

private:
    wxFont previous_;
    CMyFont font_;
};

class CSelTextColor : public CSelect {
public:
    CSelTextColor(wxDC& dc, const wxColour& colour)
        : CSelect(dc), previous_(dc.GetTextForeground()) {
        dc_.SetTextForeground(colour);
    }
    ~CSelTextColor() { dc_.SetTextForeground(previous_); }

private:
    wxColour previous_;
};

// wxTRANSPARENT or wxSOLID text background.
class CSelBkMode : public CSelect {
public:
    CSelBkMode(wxDC& dc, int mode) : CSelect(dc), previous_(dc.GetBackgroundMode()) {
        dc_.SetBackgroundMode(mode);
    }
    ~CSelBkMode() { dc_.SetBackgroundMode(previous_); }

private:
    int previous_;
};
