#include "controls/tooltip_rule.h"

CToolTipRule::Change CToolTipRule::OnPointerMove(const void* tool, std::int64_t nowMs) {
    // Leaving every tool changes nothing here: the check timer notices it,
    // and the tool stays current, so coming back to it is not a new tool.
    if (!tool || tool == current_) return Change::kNone;
    const Change change = shown_ ? Change::kHide : Change::kNone;
    shown_ = false;
    current_ = tool;
    hiddenUntilNewTool_ = false;
    timer_ = Timer::kInitialDelay;
    due_ = nowMs + timing_.initialDelayMs;
    return change;
}

CToolTipRule::Change CToolTipRule::OnHidingInput() {
    return Hide();
}

CToolTipRule::Change CToolTipRule::OnLeftPress(bool onTip) {
    if (shown_ && onTip) return Change::kNone;
    return Hide();
}

CToolTipRule::Change CToolTipRule::OnTimer(const void* tool, bool onTip, std::int64_t nowMs) {
    switch (timer_) {
        case Timer::kNone:
            return Change::kNone;
        case Timer::kInitialDelay:
            timer_ = Timer::kNone;
            if (!current_ || tool != current_ || hiddenUntilNewTool_) return Change::kNone;
            shown_ = true;
            shownMs_ = 0;
            timer_ = Timer::kCheck;
            due_ = nowMs + timing_.checkPeriodMs;
            return Change::kShow;
        case Timer::kCheck:
            shownMs_ += timing_.checkPeriodMs;
            if ((tool == current_ && shownMs_ < timing_.autoHideMs) || onTip) {
                due_ = nowMs + timing_.checkPeriodMs;
                return Change::kNone;
            }
            return Hide();
    }
    return Change::kNone;
}

std::optional<std::int64_t> CToolTipRule::Deadline() const {
    if (timer_ == Timer::kNone) return std::nullopt;
    return due_;
}

CToolTipRule::Change CToolTipRule::Hide() {
    timer_ = Timer::kNone;
    hiddenUntilNewTool_ = true;
    if (!shown_) return Change::kNone;
    shown_ = false;
    return Change::kHide;
}
