#include "launcher/gui/controls.h"

#include <wx/control.h>
#include <wx/dcbuffer.h>
#include <wx/tokenzr.h>

#include <algorithm>

#include "launcher/gui/wx_support.h"

namespace gui {
namespace {

// Every control paints its whole surface itself, so the toolkit must not
// erase it first (that would flicker on each progress tick).
void PrepareSurface(wxWindow* window) {
    window->SetBackgroundStyle(wxBG_STYLE_PAINT);
    window->SetBackgroundColour(ToWx(colour::kBackground));
}

long ControlStyle() {
    return wxBORDER_NONE | wxFULL_REPAINT_ON_RESIZE;
}

}  // namespace

TextLabel::TextLabel(wxWindow* parent, int id, const Rect& rect, const wxFont& font, bool ellipsis)
    : wxWindow(parent, id, wxPoint(rect.x, rect.y), wxSize(rect.width, rect.height),
               ControlStyle()),
      colour_(ToWx(colour::kLabelText)),
      ellipsis_(ellipsis) {
    PrepareSurface(this);
    SetFont(font);
    Bind(wxEVT_PAINT, &TextLabel::OnPaint, this);
}

void TextLabel::SetText(const wxString& text) {
    if (text == text_) return;
    text_ = text;
    Refresh();
}

void TextLabel::SetTextColour(const wxColour& colour) {
    if (colour == colour_) return;
    colour_ = colour;
    Refresh();
}

void TextLabel::OnPaint(wxPaintEvent&) {
    wxAutoBufferedPaintDC dc(this);
    dc.SetBackground(wxBrush(GetBackgroundColour()));
    dc.Clear();
    dc.SetFont(GetFont());
    dc.SetTextForeground(colour_);
    const wxSize size = GetClientSize();
    const int lineHeight = dc.GetCharHeight();
    // Text starts at the top, as in a static control; when the font's line
    // is taller than the control, the line is centred on it instead, so the
    // glyphs rather than the leading show.
    int y = std::min(0, (size.y - lineHeight) / 2);
    wxStringTokenizer lines(text_, "\n", wxTOKEN_RET_EMPTY_ALL);
    while (lines.HasMoreTokens()) {
        wxString line = lines.GetNextToken();
        if (ellipsis_)
            line = wxControl::Ellipsize(line, dc, wxELLIPSIZE_END, size.x, wxELLIPSIZE_FLAGS_NONE);
        dc.DrawText(line, 0, y);
        y += lineHeight;
    }
}

PercentBar::PercentBar(wxWindow* parent, int id, const Rect& rect, const wxFont& font)
    : wxWindow(parent, id, wxPoint(rect.x, rect.y), wxSize(rect.width, rect.height),
               ControlStyle()) {
    PrepareSurface(this);
    SetFont(font);
    Bind(wxEVT_PAINT, &PercentBar::OnPaint, this);
}

void PercentBar::SetPosition(int percent) {
    percent = std::clamp(percent, 0, 100);
    if (percent == position_) return;
    position_ = percent;
    Refresh();
}

void PercentBar::OnPaint(wxPaintEvent&) {
    wxAutoBufferedPaintDC dc(this);
    const wxSize size = GetClientSize();
    dc.SetPen(wxPen(ToWx(colour::kBarBorder)));
    dc.SetBrush(wxBrush(ToWx(colour::kBarBackground)));
    dc.DrawRectangle(0, 0, size.x, size.y);

    // The fill starts inside the frame and stops one pixel short of the
    // right edge at 100 %.
    int fill = static_cast<int>(size.x / 100.0 * position_);
    fill = std::min(fill, size.x - 2);
    if (fill > 0) {
        dc.SetPen(*wxTRANSPARENT_PEN);
        dc.SetBrush(wxBrush(ToWx(colour::kBarFill)));
        dc.DrawRectangle(1, 1, fill, size.y - 2);
    }

    dc.SetFont(GetFont());
    dc.SetTextForeground(ToWx(colour::kLabelText));
    const wxString text = wxString::Format("%d%%", position_);
    const wxSize extent = dc.GetTextExtent(text);
    dc.DrawText(text, (size.x - extent.x) / 2, (size.y - extent.y) / 2);
}

SpeedGraph::SpeedGraph(wxWindow* parent, int id, const Rect& rect)
    : wxWindow(parent, id, wxPoint(rect.x, rect.y), wxSize(rect.width, rect.height),
               ControlStyle()),
      samples_(kGraphSamples, 0) {
    PrepareSurface(this);
    Bind(wxEVT_PAINT, &SpeedGraph::OnPaint, this);
}

void SpeedGraph::PushSample(int sample) {
    samples_.pop_front();
    samples_.push_back(std::clamp(sample, 0, 100));
    Refresh();
}

void SpeedGraph::OnPaint(wxPaintEvent&) {
    wxAutoBufferedPaintDC dc(this);
    const wxSize size = GetClientSize();
    dc.SetBackground(wxBrush(ToWx(colour::kGraphBackground)));
    dc.Clear();

    // A dotted grid, one dot every four pixels, as on a measuring panel.
    dc.SetPen(wxPen(ToWx(colour::kGraphDots)));
    for (int y = 3; y < size.y; y += 4)
        for (int x = 3; x < size.x; x += 4) dc.DrawPoint(x, y);

    const int step = size.x / kGraphSamples;
    dc.SetPen(*wxTRANSPARENT_PEN);
    dc.SetBrush(wxBrush(ToWx(colour::kGraphBar)));
    for (int i = 0; i < kGraphSamples; ++i) {
        const int height = static_cast<int>(samples_[i] / 100.0 * size.y);
        if (height > 0) dc.DrawRectangle(2 + i * step, size.y - height, 3, height);
    }
}

FlatButton::FlatButton(wxWindow* parent, int id, const Rect& rect, const wxString& text,
                       const wxFont& font)
    : wxWindow(parent, id, wxPoint(rect.x, rect.y), wxSize(rect.width, rect.height),
               ControlStyle()),
      text_(text) {
    PrepareSurface(this);
    SetFont(font);
    Bind(wxEVT_PAINT, &FlatButton::OnPaint, this);
    Bind(wxEVT_LEFT_DOWN, &FlatButton::OnLeftDown, this);
    // A double click acts as two clicks.
    Bind(wxEVT_LEFT_DCLICK, &FlatButton::OnLeftDown, this);
    Bind(wxEVT_LEFT_UP, &FlatButton::OnLeftUp, this);
    Bind(wxEVT_KEY_DOWN, &FlatButton::OnKeyDown, this);
    Bind(wxEVT_ENTER_WINDOW, [this](wxMouseEvent&) { SetHover(true); });
    Bind(wxEVT_LEAVE_WINDOW, [this](wxMouseEvent&) { SetHover(false); });
    Bind(wxEVT_MOUSE_CAPTURE_LOST, [this](wxMouseCaptureLostEvent&) { EndPress(); });
    Bind(wxEVT_SET_FOCUS, [this](wxFocusEvent& e) {
        Refresh();
        e.Skip();
    });
    Bind(wxEVT_KILL_FOCUS, [this](wxFocusEvent& e) {
        Refresh();
        e.Skip();
    });
}

void FlatButton::SetText(const wxString& text) {
    if (text == text_) return;
    text_ = text;
    Refresh();
}

bool FlatButton::Enable(bool enable) {
    if (!enable) {
        hover_ = false;
        EndPress();
    }
    const bool changed = wxWindow::Enable(enable);
    Refresh();
    return changed;
}

void FlatButton::Click() {
    if (!IsEnabled()) return;
    wxCommandEvent click(wxEVT_BUTTON, GetId());
    click.SetEventObject(this);
    ProcessWindowEvent(click);
}

void FlatButton::OnPaint(wxPaintEvent&) {
    wxAutoBufferedPaintDC dc(this);
    const wxSize size = GetClientSize();
    dc.SetBackground(wxBrush(GetBackgroundColour()));
    dc.Clear();

    const bool enabled = IsEnabled();
    Rgb face = colour::kButtonFace;
    if (!enabled)
        face = colour::kButtonDisabled;
    else if (pressed_ && hover_)
        face = colour::kButtonPressed;
    else if (hover_)
        face = colour::kButtonHover;
    const Rgb border = enabled && HasFocus() ? colour::kButtonFocus : colour::kButtonBorder;
    dc.SetPen(wxPen(ToWx(border)));
    dc.SetBrush(wxBrush(ToWx(face)));
    dc.DrawRoundedRectangle(0, 0, size.x, size.y, 3);

    dc.SetFont(GetFont());
    dc.SetTextForeground(ToWx(enabled ? colour::kButtonText : colour::kButtonDisabledText));
    const wxSize extent = dc.GetTextExtent(text_);
    // The pressed face moves its text by one pixel, as a pushed key would.
    const int shift = pressed_ && hover_ ? 1 : 0;
    dc.DrawText(text_, (size.x - extent.x) / 2 + shift, (size.y - extent.y) / 2 + shift);
}

void FlatButton::OnLeftDown(wxMouseEvent&) {
    if (!IsEnabled()) return;
    SetFocus();
    pressed_ = true;
    hover_ = true;
    if (!HasCapture()) CaptureMouse();
    Refresh();
}

void FlatButton::OnLeftUp(wxMouseEvent& event) {
    const bool wasPressed = pressed_;
    EndPress();
    if (wasPressed && wxRect(GetClientSize()).Contains(event.GetPosition())) Click();
}

void FlatButton::OnKeyDown(wxKeyEvent& event) {
    switch (event.GetKeyCode()) {
        case WXK_SPACE:
        case WXK_RETURN:
        case WXK_NUMPAD_ENTER:
            Click();
            break;
        default:
            // Tab and Escape belong to the window around the button.
            event.Skip();
    }
}

void FlatButton::SetHover(bool hover) {
    if (hover && !IsEnabled()) return;
    if (hover == hover_) return;
    hover_ = hover;
    Refresh();
}

void FlatButton::EndPress() {
    if (HasCapture()) ReleaseMouse();
    if (!pressed_) return;
    pressed_ = false;
    Refresh();
}

}  // namespace gui
