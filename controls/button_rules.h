// The decisions of CButtonST that do not need a display: which of its
// three bitmaps it shows, and when the pointer counts as over it.
#pragma once

// The bitmap slots: the first is "pointer over" for a push button and
// "ticked" for a check box; the second is "normal" or "clear".
enum class ButtonSlot { kFirst, kNormal, kDisabled };

struct ButtonLook {
    bool enabled = true;
    bool hasDisabledBitmap = false;
    // Off: a disabled button shows what an enabled one would.
    bool showDisabledBitmap = true;
    bool checkBox = false;
    bool checked = false;
    bool pressed = false;
    bool pointerOver = false;
};

ButtonSlot ChooseButtonBitmap(const ButtonLook& look);

// Pointer-over tracking of a flat button. Each call answers whether the
// state changed, so the caller knows when to redraw.
class CButtonHoverRule {
public:
    // A pointer move. `onButton`: the window under the pointer is the
    // button; `appActive`: a window of the program is active; `leftHeld`:
    // the left button is down (a drag from elsewhere does not light the
    // button up).
    bool OnMove(bool onButton, bool appActive, bool leftHeld, bool enabled, bool flat);
    // Leave, focus loss, deactivation, cancel-mode and disabling.
    bool Clear();
    bool PointerOver() const { return over_; }

private:
    bool over_ = false;
};
