#include "controls/button_rules.h"

ButtonSlot ChooseButtonBitmap(const ButtonLook& look) {
    if (!look.enabled && look.showDisabledBitmap && look.hasDisabledBitmap)
        return ButtonSlot::kDisabled;
    if (look.checkBox) return look.checked ? ButtonSlot::kFirst : ButtonSlot::kNormal;
    if (!look.enabled) return ButtonSlot::kNormal;
    return look.pressed || look.pointerOver ? ButtonSlot::kFirst : ButtonSlot::kNormal;
}

bool CButtonHoverRule::OnMove(bool onButton, bool appActive, bool leftHeld, bool enabled,
                              bool flat) {
    if (!flat) return false;
    if (onButton && appActive && enabled) {
        if (over_ || leftHeld) return false;
        over_ = true;
        return true;
    }
    return Clear();
}

bool CButtonHoverRule::Clear() {
    if (!over_) return false;
    over_ = false;
    return true;
}
