// When COXToolTipCtrl shows and hides its tip, as a state machine over an
// outside clock: the control feeds it the pointer's tool, the inputs that
// hide a tip and the times, and runs one timer to Deadline(). Kept apart
// from the window so that the delays can be checked without waiting.
//
//   - a pointer that enters a tool and rests there for the initial delay
//     shows that tool's tip;
//   - while shown, it is checked every check period: it stays while the
//     pointer stays on the same tool and it has been up less than the
//     auto-hide time, or while the pointer is on the tip itself;
//   - a hidden tip does not come back until the pointer enters another
//     tool.
#pragma once

#include <cstdint>
#include <optional>

class CToolTipRule {
public:
    struct Timing {
        int initialDelayMs = 500;
        int checkPeriodMs = 500;
        int autoHideMs = 5000;
    };
    enum class Change { kNone, kShow, kHide };

    CToolTipRule() = default;
    explicit CToolTipRule(Timing timing) : timing_(timing) {}

    // `tool` is the tool under the pointer (null for none), `onTip` whether
    // the pointer is over the visible tip.
    Change OnPointerMove(const void* tool, std::int64_t nowMs);
    // Keys, non-client presses, right, middle and double presses.
    Change OnHidingInput();
    // A left press; it hides the tip unless it lands on the tip itself.
    Change OnLeftPress(bool onTip);
    // Call once `nowMs` has reached Deadline(), with the pointer's tool.
    Change OnTimer(const void* tool, bool onTip, std::int64_t nowMs);

    // When OnTimer is due; nothing while no timer runs.
    std::optional<std::int64_t> Deadline() const;
    bool Shown() const { return shown_; }
    const void* CurrentTool() const { return current_; }
    bool HiddenUntilNewTool() const { return hiddenUntilNewTool_; }
    int ShownMs() const { return shownMs_; }

private:
    enum class Timer { kNone, kInitialDelay, kCheck };

    Change Hide();

    Timing timing_;
    Timer timer_ = Timer::kNone;
    std::int64_t due_ = 0;
    const void* current_ = nullptr;
    bool shown_ = false;
    int shownMs_ = 0;
    bool hiddenUntilNewTool_ = false;
};
