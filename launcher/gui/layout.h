// Where the main window's controls sit and which colours they are drawn
// in. Positions are client pixels of the fixed 748 x 437 client area. The
// end-to-end test reads the same values to find controls on the screen.
#pragma once

#include "launcher/control_ids.h"

namespace gui {

struct Rect {
    int x;
    int y;
    int width;
    int height;
};

struct Rgb {
    unsigned char r;
    unsigned char g;
    unsigned char b;
};

inline constexpr int kClientWidth = 748;
inline constexpr int kClientHeight = 437;

// Labels.
inline constexpr Rect kFileLabelRect{456, 28, 263, 14};
inline constexpr Rect kReceivedLabelRect{456, 59, 263, 14};
inline constexpr Rect kTotalLabelRect{456, 90, 263, 14};
inline constexpr Rect kElapsedLabelRect{460, 134, 85, 14};
inline constexpr Rect kRemainingLabelRect{634, 134, 85, 14};
inline constexpr Rect kSpeedLabelRect{456, 173, 270, 14};
inline constexpr Rect kFolderLabelRect{447, 356, 201, 14};

// Graph and bars.
inline constexpr Rect kSpeedGraphRect{385, 191, 342, 69};
inline constexpr Rect kCurrentFileBarRect{441, 282, 286, 18};
inline constexpr Rect kOverallBarRect{441, 312, 286, 18};

// Buttons: the four corners are fixed, the sizes stand in for the skin's
// bitmaps (the bottom row ends where the window's bottom strip begins).
inline constexpr Rect kFolderButtonRect{662, 352, 65, 22};
inline constexpr Rect kStartStopButtonRect{384, 391, 108, 25};
inline constexpr Rect kRunButtonRect{502, 391, 108, 25};
inline constexpr Rect kCloseButtonRect{620, 391, 108, 25};

// The part of the banner that the skin leaves visible; the banner itself
// comes with the browser control.
inline constexpr Rect kBannerRect{21, 20, 342, 396};
// Dragging the window by this strip moves it, as the caption would.
inline constexpr int kDragStripHeight = 28;

// The number of samples the speed graph keeps.
inline constexpr int kGraphSamples = 68;

namespace colour {
inline constexpr Rgb kBackground{34, 38, 46};
inline constexpr Rgb kStrip{24, 27, 33};
inline constexpr Rgb kBanner{44, 49, 59};
inline constexpr Rgb kBannerText{118, 128, 144};
inline constexpr Rgb kLabelText{239, 239, 239};
inline constexpr Rgb kCaptionText{150, 158, 172};
inline constexpr Rgb kFinishedText{255, 255, 0};
inline constexpr Rgb kBarBorder{88, 98, 116};
inline constexpr Rgb kBarBackground{52, 58, 70};
inline constexpr Rgb kBarFill{38, 116, 196};
inline constexpr Rgb kGraphBackground{18, 20, 26};
inline constexpr Rgb kGraphDots{50, 56, 68};
inline constexpr Rgb kGraphBar{213, 186, 17};
inline constexpr Rgb kButtonFace{62, 72, 88};
inline constexpr Rgb kButtonHover{84, 98, 120};
inline constexpr Rgb kButtonPressed{44, 52, 64};
inline constexpr Rgb kButtonDisabled{42, 46, 54};
inline constexpr Rgb kButtonBorder{104, 116, 136};
inline constexpr Rgb kButtonFocus{150, 180, 220};
inline constexpr Rgb kButtonText{239, 239, 239};
inline constexpr Rgb kButtonDisabledText{104, 110, 122};
}  // namespace colour

}  // namespace gui
