#include "controls/button_st.h"

#include <wx/app.h>
#include <wx/dcbuffer.h>
#include <wx/toplevel.h>

#include "controls/draw_scope.h"
#include "controls/parent_pixels.h"

const wxColour CButtonST::kDefaultBackground(255, 255, 255);
const wxColour CButtonST::kDefaultText(102, 102, 102);

namespace {

int SlotIndex(ButtonSlot slot) {
    switch (slot) {
        case ButtonSlot::kFirst:
            return 0;
        case ButtonSlot::kNormal:
            return 1;
        case ButtonSlot::kDisabled:
            return 2;
    }
    return 1;
}

}  // namespace

CButtonST::CButtonST(wxWindow* parent, int id, const wxPoint& position, const wxSize& size)
    : wxControl(parent, id, position, size, wxBORDER_NONE | wxFULL_REPAINT_ON_RESIZE) {
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    RestoreDefaultColours();
    Bind(wxEVT_PAINT, &CButtonST::OnPaint, this);
    Bind(wxEVT_MOTION, &CButtonST::OnMotion, this);
    Bind(wxEVT_ENTER_WINDOW, &CButtonST::OnMotion, this);
    Bind(wxEVT_LEAVE_WINDOW, [this](wxMouseEvent&) { ClearPointer(); });
    Bind(wxEVT_LEFT_DOWN, &CButtonST::OnLeftDown, this);
    // A double click is taken as a plain press, so it acts as two clicks.
    Bind(wxEVT_LEFT_DCLICK, &CButtonST::OnLeftDown, this);
    Bind(wxEVT_LEFT_UP, &CButtonST::OnLeftUp, this);
    Bind(wxEVT_KEY_DOWN, &CButtonST::OnKeyDown, this);
    Bind(wxEVT_MOUSE_CAPTURE_LOST, [this](wxMouseCaptureLostEvent&) {
        EndPress();
        ClearPointer();
    });
    Bind(wxEVT_SET_FOCUS, [this](wxFocusEvent& event) {
        Refresh();
        event.Skip();
    });
    Bind(wxEVT_KILL_FOCUS, [this](wxFocusEvent& event) {
        ClearPointer();
        Refresh();
        event.Skip();
    });
    Bind(wxEVT_SYS_COLOUR_CHANGED, [this](wxSysColourChangedEvent& event) {
        RestoreDefaultColours();
        event.Skip();
    });
    Bind(wxEVT_SIZE, [this](wxSizeEvent& event) {
        background_ = wxBitmap();
        event.Skip();
    });
    // Deactivating the program's window ends the pointer-over state.
    topLevel_ = wxGetTopLevelParent(this);
    if (topLevel_) topLevel_->Bind(wxEVT_ACTIVATE, &CButtonST::OnTopLevelActivate, this);
    Bind(wxEVT_DESTROY, [this](wxWindowDestroyEvent& event) {
        if (event.GetEventObject() == this && topLevel_)
            topLevel_->Unbind(wxEVT_ACTIVATE, &CButtonST::OnTopLevelActivate, this);
        topLevel_ = nullptr;
        event.Skip();
    });
}

void CButtonST::SetBitmaps(const wxBitmap& first, const wxBitmap& normal,
                           const wxBitmap& disabled) {
    bitmaps_[0] = MaskedBitmap(first);
    bitmaps_[1] = MaskedBitmap(normal);
    bitmaps_[2] = MaskedBitmap(disabled);
    InvalidateBestSize();
    Refresh();
}

void CButtonST::SizeToContent() {
    if (bitmaps_[0].IsOk()) SetSize(bitmaps_[0].GetSize());
}

wxSize CButtonST::DoGetBestClientSize() const {
    return bitmaps_[0].IsOk() ? bitmaps_[0].GetSize() : wxSize(80, 24);
}

void CButtonST::SetCheckBox(bool checkBox) {
    checkBox_ = checkBox;
    Refresh();
}

void CButtonST::SetCheck(int state) {
    const bool checked = state != 0;
    if (checked == checked_) return;
    checked_ = checked;
    Refresh();
}

void CButtonST::SetFlat(bool flat) {
    flat_ = flat;
    if (!flat_) ClearPointer();
    Refresh();
}

void CButtonST::SetDrawBorder(bool border) {
    border_ = border;
    Refresh();
}

void CButtonST::SetDrawTransparent(bool transparent) {
    transparent_ = transparent;
    background_ = wxBitmap();
    Refresh();
}

void CButtonST::SetShowDisabledBitmap(bool show) {
    showDisabled_ = show;
    Refresh();
}

void CButtonST::SetStateColours(ColourState state, const wxColour& background,
                                const wxColour& text) {
    const int i = static_cast<int>(state);
    backgrounds_[i] = background;
    texts_[i] = text;
    Refresh();
}

void CButtonST::RestoreDefaultColours() {
    for (int i = 0; i < 3; ++i) {
        backgrounds_[i] = kDefaultBackground;
        texts_[i] = kDefaultText;
    }
    background_ = wxBitmap();
    Refresh();
}

bool CButtonST::Enable(bool enable) {
    if (!enable) {
        EndPress();
        ClearPointer();
        // The focus moves on rather than staying on a button that cannot act.
        if (HasFocus()) Navigate();
    }
    const bool changed = wxControl::Enable(enable);
    Refresh();
    return changed;
}

void CButtonST::Click() {
    if (!IsEnabled()) return;
    if (AcceptsFocus()) SetFocus();
    if (checkBox_) {
        checked_ = !checked_;
        Refresh();
        Update();
    }
    wxCommandEvent click(wxEVT_BUTTON, GetId());
    click.SetEventObject(this);
    click.SetInt(GetCheck());
    ProcessWindowEvent(click);
}

ButtonSlot CButtonST::ShownSlot() const {
    ButtonLook look;
    look.enabled = IsEnabled();
    look.hasDisabledBitmap = bitmaps_[2].IsOk();
    look.showDisabledBitmap = showDisabled_;
    look.checkBox = checkBox_;
    look.checked = checked_;
    look.pressed = pressed_ && hover_.PointerOver();
    look.pointerOver = hover_.PointerOver();
    return ChooseButtonBitmap(look);
}

void CButtonST::OnPaint(wxPaintEvent&) {
    wxAutoBufferedPaintDC dc(this);
    const wxSize size = GetClientSize();
    const bool enabled = IsEnabled();
    const int colourState = PointerOver() ? 0 : (HasFocus() ? 2 : 1);
    if (transparent_) {
        if (!background_.IsOk() || background_.GetSize() != size)
            background_ = ParentPixelsUnder(*this);
        dc.DrawBitmap(background_, 0, 0);
    } else {
        dc.SetBackground(wxBrush(backgrounds_[colourState]));
        dc.Clear();
    }

    const wxBitmap& bitmap = bitmaps_[SlotIndex(ShownSlot())];
    if (bitmap.IsOk()) {
        const wxSize bs = bitmap.GetSize();
        dc.DrawBitmap(bitmap, (size.x - bs.x) / 2, (size.y - bs.y) / 2, true);
    }

    const wxString text = GetLabel();
    if (!text.empty()) {
        CSelFont font(dc, GetFont());
        CSelTextColor colour(dc, enabled ? texts_[colourState] : wxColour(160, 160, 160));
        CSelBkMode mode(dc, wxTRANSPARENT);
        const wxSize extent = dc.GetTextExtent(text);
        // The pressed text moves by a pixel, as a pushed key would.
        const int shift = pressed_ && PointerOver() ? 1 : 0;
        dc.DrawText(text, (size.x - extent.x) / 2 + shift, (size.y - extent.y) / 2 + shift);
    }
    if (border_ && !flat_) {
        dc.SetBrush(*wxTRANSPARENT_BRUSH);
        dc.SetPen(wxPen(wxColour(128, 128, 128)));
        dc.DrawRectangle(0, 0, size.x, size.y);
    }
    if (!flat_ && HasFocus()) {
        dc.SetBrush(*wxTRANSPARENT_BRUSH);
        dc.SetPen(wxPen(*wxBLACK, 1, wxPENSTYLE_DOT));
        dc.DrawRectangle(3, 3, size.x - 6, size.y - 6);
    }
}

bool CButtonST::ProgramActive() const {
    return wxTheApp && wxTheApp->IsActive();
}

void CButtonST::OnMotion(wxMouseEvent& event) {
    const bool onButton = wxRect(GetClientSize()).Contains(event.GetPosition());
    if (hover_.OnMove(onButton, ProgramActive(), event.LeftIsDown() && !pressed_, IsEnabled(),
                      flat_))
        Refresh();
    if (pressed_) Refresh();
    event.Skip();
}

void CButtonST::OnLeftDown(wxMouseEvent& event) {
    if (!IsEnabled()) return;
    if (AcceptsFocus()) SetFocus();
    pressed_ = true;
    (void)hover_.OnMove(true, true, false, true, flat_);  // the press itself lights the button
    if (!HasCapture()) CaptureMouse();
    Refresh();
    event.Skip(false);
}

void CButtonST::OnLeftUp(wxMouseEvent& event) {
    const bool wasPressed = pressed_;
    EndPress();
    if (wasPressed && IsEnabled() && wxRect(GetClientSize()).Contains(event.GetPosition())) Click();
}

void CButtonST::OnKeyDown(wxKeyEvent& event) {
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

void CButtonST::OnTopLevelActivate(wxActivateEvent& event) {
    if (!event.GetActive()) ClearPointer();
    event.Skip();
}

void CButtonST::ClearPointer() {
    if (hover_.Clear()) Refresh();
}

void CButtonST::EndPress() {
    if (HasCapture()) ReleaseMouse();
    if (!pressed_) return;
    pressed_ = false;
    Refresh();
}
