// CButtonST: a push button or check box drawn from bitmaps. Three slots
// (pointer over / ticked, normal / clear, disabled), each keyed on
// RGB(255, 0, 255), so the parent's pixels (IParentPixels) show through
// where that colour is drawn when the button is transparent.
//
// A flat button (the default) lights up while the pointer rests on it and
// a window of the program is active; a press with the left button held
// elsewhere does not light it. A disabled button shows its third bitmap,
// ignores the pointer and every click, and gives the focus away. A click
// (press and release on the button, Space or Enter while focused) takes
// the focus, toggles a check box and redraws it, and then reports
// wxEVT_BUTTON with the button's id, so the owner sees the new state. A
// double click acts as two clicks.
//
// User-interface thread only.
#pragma once

#include <wx/bitmap.h>
#include <wx/control.h>

#include "controls/button_rules.h"

class CButtonST : public wxControl {
public:
    // The state colours (background, text) used without bitmaps or in
    // the opaque mode.
    enum class ColourState { kPointerOver, kNormal, kFocused };
    static const wxColour kDefaultBackground;
    static const wxColour kDefaultText;

    CButtonST(wxWindow* parent, int id, const wxPoint& position,
              const wxSize& size = wxDefaultSize);

    // Push button: (pointer over, normal, disabled). Check box: (ticked,
    // clear) and no disabled slot. A missing bitmap leaves its slot empty.
    void SetBitmaps(const wxBitmap& first, const wxBitmap& normal,
                    const wxBitmap& disabled = wxNullBitmap);
    // Resizes the button to its first bitmap, keeping its position.
    void SizeToContent();

    void SetCheckBox(bool checkBox);
    bool IsCheckBox() const { return checkBox_; }
    // 0 clear, anything else ticked.
    void SetCheck(int state);
    int GetCheck() const { return checked_ ? 1 : 0; }

    void SetFlat(bool flat);
    void SetDrawBorder(bool border);
    void SetDrawTransparent(bool transparent);
    void SetShowDisabledBitmap(bool show);
    // The window's default button (Enter presses it); only recorded here.
    void SetDefault(bool isDefault) { default_ = isDefault; }
    bool IsDefault() const { return default_; }
    void SetStateColours(ColourState state, const wxColour& background, const wxColour& text);
    // The default colours, and a new copy of the parent's pixels.
    void RestoreDefaultColours();

    bool Enable(bool enable = true) override;
    bool AcceptsFocus() const override { return IsEnabled() && IsShown(); }
    // Clicks the button as the user would; nothing when disabled.
    void Click();

    // What the button shows now.
    ButtonSlot ShownSlot() const;
    bool PointerOver() const { return hover_.PointerOver(); }
    bool Pressed() const { return pressed_; }

protected:
    wxSize DoGetBestClientSize() const override;

private:
    void OnPaint(wxPaintEvent& event);
    void OnMotion(wxMouseEvent& event);
    void OnLeftDown(wxMouseEvent& event);
    void OnLeftUp(wxMouseEvent& event);
    void OnKeyDown(wxKeyEvent& event);
    void OnTopLevelActivate(wxActivateEvent& event);
    void ClearPointer();
    void EndPress();
    bool ProgramActive() const;

    wxBitmap bitmaps_[3];
    bool checkBox_ = false;
    bool checked_ = false;
    bool flat_ = true;
    bool border_ = false;
    bool transparent_ = false;
    bool showDisabled_ = true;
    bool default_ = false;
    bool pressed_ = false;
    CButtonHoverRule hover_;
    wxColour backgrounds_[3];
    wxColour texts_[3];
    // The parent's pixels under the button, taken at the first transparent paint.
    wxBitmap background_;
    wxWindow* topLevel_ = nullptr;
};
