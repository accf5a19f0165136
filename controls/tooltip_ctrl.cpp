#include "controls/tooltip_ctrl.h"

#include <wx/dcbuffer.h>
#include <wx/eventfilter.h>
#include <wx/settings.h>
#include <wx/utils.h>

#include <algorithm>

#include "controls/draw_scope.h"
#include "platform/kernel.h"

namespace {

// Text inset within the tip.
constexpr int kMarginLeft = 3;
constexpr int kMarginTop = 5;
constexpr int kMarginRight = 3;
constexpr int kMarginBottom = 3;

bool IsHidingInput(wxEventType type) {
    return type == wxEVT_KEY_DOWN || type == wxEVT_KEY_UP || type == wxEVT_CHAR ||
           type == wxEVT_RIGHT_DOWN || type == wxEVT_MIDDLE_DOWN || type == wxEVT_LEFT_DCLICK ||
           type == wxEVT_RIGHT_DCLICK || type == wxEVT_MIDDLE_DCLICK;
}

}  // namespace

COXToolTipCtrl::COXToolTipCtrl(wxWindow* owner, CToolTipRule::Timing timing, Clock clock)
    : wxPopupWindow(owner, wxBORDER_NONE),
      owner_(owner),
      clock_(clock ? std::move(clock) : Clock([] { return plat::MonotonicMs(); })),
      rule_(timing),
      timer_(this) {
    SetSize(10, 10);
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    SetFont(wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT));
    Hide();
    Bind(wxEVT_TIMER, &COXToolTipCtrl::OnTimer, this);
    Bind(wxEVT_PAINT, &COXToolTipCtrl::OnPaint, this);
    wxEvtHandler::AddFilter(this);
    filtering_ = true;
}

COXToolTipCtrl::~COXToolTipCtrl() {
    timer_.Stop();
    if (filtering_) wxEvtHandler::RemoveFilter(this);
}

void COXToolTipCtrl::AddTool(wxWindow* tool, const wxString& text) {
    if (!tool) return;
    COXToolTipInfo info;
    info.window = tool;
    info.text = text;
    info.textColour = wxSystemSettings::GetColour(wxSYS_COLOUR_INFOTEXT);
    info.backgroundColour = wxSystemSettings::GetColour(wxSYS_COLOUR_INFOBK);
    info.maxWidth = maxWidth_;
    // Summed up the parents rather than through the screen: the owner may
    // not be shown yet.
    wxPoint at;
    for (const wxWindow* w = tool; w && w != owner_; w = w->GetParent()) at += w->GetPosition();
    info.rect = wxRect(at, tool->GetSize());
    tools_.push_back(info);
}

void COXToolTipCtrl::RemoveTool(wxWindow* tool) {
    if (ShownTool() && ShownTool()->window == tool) Hide();
    tools_.remove_if([tool](const COXToolTipInfo& info) { return info.window == tool; });
}

const COXToolTipInfo* COXToolTipCtrl::ShownTool() const {
    if (!rule_.Shown()) return nullptr;
    return static_cast<const COXToolTipInfo*>(rule_.CurrentTool());
}

int COXToolTipCtrl::FilterEvent(wxEvent& event) {
    RelayEvent(event);
    return Event_Skip;
}

void COXToolTipCtrl::RelayEvent(const wxEvent& event) {
    const wxEventType type = event.GetEventType();
    if (type != wxEVT_MOTION && type != wxEVT_LEFT_DOWN && !IsHidingInput(type)) return;
    const wxPoint screen = wxGetMousePosition();
    if (IsHidingInput(type)) {
        Apply(rule_.OnHidingInput(), screen);
    } else if (type == wxEVT_LEFT_DOWN) {
        Apply(rule_.OnLeftPress(PointerOnTip(screen)), screen);
    } else {
        Apply(rule_.OnPointerMove(ToolAt(screen), clock_()), screen);
    }
    Schedule();
}

const COXToolTipInfo* COXToolTipCtrl::ToolAt(const wxPoint& screen) const {
    wxWindow* under = wxFindWindowAtPoint(screen);
    // The owner itself and the tip never count as a tool.
    if (!under || under == owner_ || under == this) return nullptr;
    const wxPoint inOwner = owner_->ScreenToClient(screen);
    for (const COXToolTipInfo& tool : tools_) {
        if (!tool.window->IsShownOnScreen()) continue;
        for (const wxWindow* w = under; w && w != owner_; w = w->GetParent()) {
            if (w == tool.window) {
                if (tool.rect.Contains(inOwner)) return &tool;
                break;
            }
        }
    }
    return nullptr;
}

bool COXToolTipCtrl::PointerOnTip(const wxPoint& screen) const {
    return IsShown() && GetScreenRect().Contains(screen);
}

void COXToolTipCtrl::Apply(CToolTipRule::Change change, const wxPoint& screen) {
    switch (change) {
        case CToolTipRule::Change::kNone:
            return;
        case CToolTipRule::Change::kHide:
            Hide();
            return;
        case CToolTipRule::Change::kShow:
            break;
    }
    wxClientDC dc(this);
    CSelFont font(dc, GetFont());
    const wxArrayString lines = WrappedLines(dc);
    int width = 0;
    for (const wxString& line : lines) width = std::max(width, dc.GetTextExtent(line).x);
    const int height = static_cast<int>(lines.size()) * dc.GetCharHeight();
    SetSize(screen.x + kOffsetX, screen.y + kOffsetY, width + kMarginLeft + kMarginRight,
            height + kMarginTop + kMarginBottom);
    Show();
    Raise();
    Refresh();
}

void COXToolTipCtrl::Schedule() {
    const std::optional<std::int64_t> due = rule_.Deadline();
    if (!due) {
        timer_.Stop();
        return;
    }
    const std::int64_t wait = std::max<std::int64_t>(1, *due - clock_());
    timer_.StartOnce(static_cast<int>(std::min<std::int64_t>(wait, 60000)));
}

void COXToolTipCtrl::OnTimer(wxTimerEvent&) {
    const wxPoint screen = wxGetMousePosition();
    const std::int64_t now = clock_();
    const std::optional<std::int64_t> due = rule_.Deadline();
    // A timer that fired early (the toolkit rounds) waits for the rest.
    if (due && now < *due) {
        Schedule();
        return;
    }
    Apply(rule_.OnTimer(ToolAt(screen), PointerOnTip(screen), now), screen);
    Schedule();
}

wxArrayString COXToolTipCtrl::WrappedLines(wxDC& dc) const {
    wxArrayString lines;
    const COXToolTipInfo* tool = static_cast<const COXToolTipInfo*>(rule_.CurrentTool());
    if (!tool) return lines;
    const int limit = tool->maxWidth > 0 ? tool->maxWidth - kMarginLeft - kMarginRight : 0;
    wxString line;
    // Breaks at the last blank that fits, else anywhere (texts without
    // blanks, such as Chinese, break between any two characters).
    for (wxString::const_iterator it = tool->text.begin(); it != tool->text.end(); ++it) {
        const wxUniChar c = *it;
        if (c == '\n') {
            lines.Add(line);
            line.clear();
            continue;
        }
        wxString longer = line + c;
        if (limit > 0 && !line.empty() && dc.GetTextExtent(longer).x > limit) {
            const size_t blank = line.find_last_of(' ');
            if (blank != wxString::npos && blank > 0) {
                lines.Add(line.substr(0, blank));
                longer = line.substr(blank + 1) + c;
            } else {
                lines.Add(line);
                longer = wxString(c);
            }
        }
        line = longer;
    }
    lines.Add(line);
    return lines;
}

void COXToolTipCtrl::OnPaint(wxPaintEvent&) {
    wxAutoBufferedPaintDC dc(this);
    const COXToolTipInfo* tool = ShownTool();
    const wxSize size = GetClientSize();
    dc.SetBrush(
        wxBrush(tool ? tool->backgroundColour : wxSystemSettings::GetColour(wxSYS_COLOUR_INFOBK)));
    dc.SetPen(*wxBLACK_PEN);
    dc.DrawRectangle(0, 0, size.x, size.y);
    if (!tool) return;
    CSelFont font(dc, GetFont());
    CSelTextColor colour(dc, tool->textColour);
    CSelBkMode mode(dc, wxTRANSPARENT);
    int y = kMarginTop;
    for (const wxString& line : WrappedLines(dc)) {
        dc.DrawText(line, kMarginLeft, y);
        y += dc.GetCharHeight();
    }
}
