// When the tooltip shows and hides, driven by an injected time.
#include "controls/tooltip_rule.h"

#include <gtest/gtest.h>

namespace {

using Change = CToolTipRule::Change;

const int kToolA = 1;
const int kToolB = 2;
const void* const A = &kToolA;
const void* const B = &kToolB;

// Runs the rule's timer until `untilMs` with the pointer on `tool`, and
// returns the first change with the time it came at.
struct Step {
    Change change = Change::kNone;
    std::int64_t at = -1;
};
Step RunUntil(CToolTipRule& rule, const void* tool, bool onTip, std::int64_t untilMs) {
    while (rule.Deadline() && *rule.Deadline() <= untilMs) {
        const std::int64_t at = *rule.Deadline();
        const Change change = rule.OnTimer(tool, onTip, at);
        if (change != Change::kNone) return {change, at};
    }
    return {};
}

}  // namespace

TEST(ToolTipRule, RestingOnAToolShowsItsTipAfterTheInitialDelay) {
    CToolTipRule rule;
    EXPECT_EQ(rule.OnPointerMove(A, 1000), Change::kNone);
    ASSERT_TRUE(rule.Deadline());
    EXPECT_EQ(*rule.Deadline(), 1500);
    // Moves on the same tool do not restart the delay.
    EXPECT_EQ(rule.OnPointerMove(A, 1300), Change::kNone);
    EXPECT_EQ(RunUntil(rule, A, false, 1499).change, Change::kNone);
    const Step shown = RunUntil(rule, A, false, 1500);
    EXPECT_EQ(shown.change, Change::kShow);
    EXPECT_EQ(shown.at, 1500);
    EXPECT_TRUE(rule.Shown());
    EXPECT_EQ(rule.CurrentTool(), A);
}

TEST(ToolTipRule, TipHidesAfterFiveSecondsAndStaysHiddenUntilAnotherTool) {
    CToolTipRule rule;
    (void)rule.OnPointerMove(A, 0);
    ASSERT_EQ(RunUntil(rule, A, false, 500).change, Change::kShow);
    const Step hidden = RunUntil(rule, A, false, 20000);
    EXPECT_EQ(hidden.change, Change::kHide);
    EXPECT_EQ(hidden.at, 500 + 5000);
    EXPECT_TRUE(rule.HiddenUntilNewTool());
    EXPECT_FALSE(rule.Deadline());
    // Resting on, leaving and coming back to the same tool bring nothing.
    EXPECT_EQ(rule.OnPointerMove(A, 6000), Change::kNone);
    EXPECT_EQ(rule.OnPointerMove(nullptr, 6100), Change::kNone);
    EXPECT_EQ(rule.OnPointerMove(A, 6200), Change::kNone);
    EXPECT_EQ(RunUntil(rule, A, false, 30000).change, Change::kNone);
    // Another tool starts over.
    EXPECT_EQ(rule.OnPointerMove(B, 31000), Change::kNone);
    EXPECT_FALSE(rule.HiddenUntilNewTool());
    EXPECT_EQ(RunUntil(rule, B, false, 31500).change, Change::kShow);
}

TEST(ToolTipRule, LeavingTheToolHidesTheTipAtTheNextCheck) {
    CToolTipRule rule;
    (void)rule.OnPointerMove(A, 0);
    ASSERT_EQ(RunUntil(rule, A, false, 500).change, Change::kShow);
    EXPECT_EQ(rule.OnPointerMove(nullptr, 700), Change::kNone);
    const Step hidden = RunUntil(rule, nullptr, false, 5000);
    EXPECT_EQ(hidden.change, Change::kHide);
    EXPECT_EQ(hidden.at, 1000);
}

TEST(ToolTipRule, PointerOnTheTipKeepsItPastTheAutoHideTime) {
    CToolTipRule rule;
    (void)rule.OnPointerMove(A, 0);
    ASSERT_EQ(RunUntil(rule, A, false, 500).change, Change::kShow);
    EXPECT_EQ(RunUntil(rule, nullptr, true, 20000).change, Change::kNone);
    EXPECT_TRUE(rule.Shown());
    // A left press on the tip leaves it; off it, the tip goes.
    EXPECT_EQ(rule.OnLeftPress(true), Change::kNone);
    EXPECT_EQ(rule.OnLeftPress(false), Change::kHide);
    EXPECT_TRUE(rule.HiddenUntilNewTool());
}

TEST(ToolTipRule, PointerLeavingDuringTheDelayShowsNothing) {
    CToolTipRule rule;
    (void)rule.OnPointerMove(A, 0);
    EXPECT_EQ(RunUntil(rule, nullptr, false, 1000).change, Change::kNone);
    EXPECT_FALSE(rule.Shown());
}

TEST(ToolTipRule, KeysAndOtherPressesHideTheTipAndCancelAPendingOne) {
    CToolTipRule rule;
    (void)rule.OnPointerMove(A, 0);
    ASSERT_EQ(RunUntil(rule, A, false, 500).change, Change::kShow);
    EXPECT_EQ(rule.OnHidingInput(), Change::kHide);
    EXPECT_FALSE(rule.Deadline());
    EXPECT_EQ(rule.OnHidingInput(), Change::kNone);

    // A key during the delay: the tip never comes for this tool.
    CToolTipRule pending;
    (void)pending.OnPointerMove(A, 0);
    EXPECT_EQ(pending.OnHidingInput(), Change::kNone);
    EXPECT_EQ(RunUntil(pending, A, false, 5000).change, Change::kNone);
    EXPECT_FALSE(pending.Shown());
}

TEST(ToolTipRule, EnteringAnotherToolHidesTheShownTipAndWaitsAgain) {
    CToolTipRule rule;
    (void)rule.OnPointerMove(A, 0);
    ASSERT_EQ(RunUntil(rule, A, false, 500).change, Change::kShow);
    EXPECT_EQ(rule.OnPointerMove(B, 800), Change::kHide);
    const Step shown = RunUntil(rule, B, false, 5000);
    EXPECT_EQ(shown.change, Change::kShow);
    EXPECT_EQ(shown.at, 1300);
    EXPECT_EQ(rule.CurrentTool(), B);
}

TEST(ToolTipRule, TimingsCanBeChosen) {
    CToolTipRule rule(CToolTipRule::Timing{100, 50, 200});
    (void)rule.OnPointerMove(A, 0);
    EXPECT_EQ(RunUntil(rule, A, false, 100).at, 100);
    EXPECT_EQ(RunUntil(rule, A, false, 10000).at, 300);
}
