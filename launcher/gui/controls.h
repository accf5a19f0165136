// The main window's controls, drawn by themselves in plain colours on the
// window's dark background (layout.h). Each knows how to look, not what it
// means: the frame feeds them texts, positions and samples.
#pragma once

#include <wx/window.h>

#include <deque>

#include "launcher/gui/layout.h"

namespace gui {

// A one-colour text on the window's background. Text is clipped to the
// control, or ends in "..." when the control was made with `ellipsis`.
// Line breaks start new lines.
class TextLabel : public wxWindow {
public:
    TextLabel(wxWindow* parent, int id, const Rect& rect, const wxFont& font, bool ellipsis);

    void SetText(const wxString& text);
    const wxString& Text() const { return text_; }
    void SetTextColour(const wxColour& colour);

private:
    void OnPaint(wxPaintEvent& event);

    wxString text_;
    wxColour colour_;
    bool ellipsis_;
};

// A bar of range 0..100 with its position written over it as "%d%%".
class PercentBar : public wxWindow {
public:
    PercentBar(wxWindow* parent, int id, const Rect& rect, const wxFont& font);

    // Positions outside the range are clamped.
    void SetPosition(int percent);
    int Position() const { return position_; }

private:
    void OnPaint(wxPaintEvent& event);

    int position_ = 0;
};

// The speed history: the last kGraphSamples samples (0..100) as columns,
// oldest on the left.
class SpeedGraph : public wxWindow {
public:
    SpeedGraph(wxWindow* parent, int id, const Rect& rect);

    void PushSample(int sample);

private:
    void OnPaint(wxPaintEvent& event);

    std::deque<int> samples_;
};

// A push button with a text face. It reports clicks as wxEVT_BUTTON with
// its id, from the mouse (press and release on it), or from Space and
// Enter while it has the focus. A disabled button takes no input.
class FlatButton : public wxWindow {
public:
    FlatButton(wxWindow* parent, int id, const Rect& rect, const wxString& text,
               const wxFont& font);

    void SetText(const wxString& text);
    bool Enable(bool enable = true) override;
    bool AcceptsFocus() const override { return IsEnabled(); }
    // Sends the click as if the user had pressed the button.
    void Click();

private:
    void OnPaint(wxPaintEvent& event);
    void OnLeftDown(wxMouseEvent& event);
    void OnLeftUp(wxMouseEvent& event);
    void OnKeyDown(wxKeyEvent& event);
    void SetHover(bool hover);
    void EndPress();

    wxString text_;
    bool hover_ = false;
    bool pressed_ = false;
};

}  // namespace gui
