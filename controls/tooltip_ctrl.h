// COXToolTipCtrl: tips for windows of one owner. The tip is a pop-up
// window above everything, shown when the pointer has rested on a tool
// for the initial delay, checked while shown and hidden after the
// auto-hide time or when the pointer leaves; keys and other presses hide
// it. When to show and hide is CToolTipRule's (tooltip_rule.h); this class
// watches the program's input, finds the tool under the pointer and draws.
//
// The control sees every event of the program before it is handled (a
// wxEventFilter), as a tooltip fed every message before dispatch would.
// Hidden tools are never under the pointer, so their tips never show.
//
// Ownership: the owner window owns the control (it is its child in the
// toolkit's sense and goes with it); the tools are not owned and must
// outlive it or stay registered only while they exist. User-interface
// thread only.
#pragma once

#include <wx/eventfilter.h>
#include <wx/popupwin.h>
#include <wx/timer.h>

#include <cstdint>
#include <functional>
#include <list>

#include "controls/tooltip_rule.h"

// One registered tool.
struct COXToolTipInfo {
    wxWindow* window = nullptr;
    int id = 0;
    wxString text;
    wxColour textColour;
    wxColour backgroundColour;
    int maxWidth = 0;
    // The tool window's rectangle in the owner's client coordinates.
    wxRect rect;
};

class COXToolTipCtrl : public wxPopupWindow, private wxEventFilter {
public:
    using Clock = std::function<std::int64_t()>;

    // `clock` gives milliseconds of a steady clock (the platform's by default).
    explicit COXToolTipCtrl(wxWindow* owner, CToolTipRule::Timing timing = {}, Clock clock = {});
    ~COXToolTipCtrl() override;

    // Width at which the text wraps; 0 for no wrapping.
    void SetMaxTipWidth(int width) { maxWidth_ = width; }
    void AddTool(wxWindow* tool, const wxString& text);
    // Forgets a tool (before it is destroyed).
    void RemoveTool(wxWindow* tool);

    // One input event of the program; the filter calls it for every event.
    void RelayEvent(const wxEvent& event);

    const CToolTipRule& Rule() const { return rule_; }
    const COXToolTipInfo* ShownTool() const;

    static constexpr int kOffsetX = 0;
    static constexpr int kOffsetY = 20;

private:
    int FilterEvent(wxEvent& event) override;
    const COXToolTipInfo* ToolAt(const wxPoint& screen) const;
    bool PointerOnTip(const wxPoint& screen) const;
    void Apply(CToolTipRule::Change change, const wxPoint& screen);
    void Schedule();
    void OnTimer(wxTimerEvent& event);
    void OnPaint(wxPaintEvent& event);
    wxArrayString WrappedLines(wxDC& dc) const;

    wxWindow* owner_;
    Clock clock_;
    CToolTipRule rule_;
    std::list<COXToolTipInfo> tools_;
    int maxWidth_ = 0;
    wxTimer timer_;
    bool filtering_ = false;
};
