// Where the main window's controls and skin pieces sit, which bitmaps they
// show and the few colours drawn by the program itself. Positions are
// client pixels of the fixed 748 x 437 client area. The end-to-end test
// reads the same values to find controls on the screen.
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

// Buttons: placed at their corners and sized to their bitmaps.
inline constexpr Rect kFolderButtonRect{662, 352, 65, 22};
inline constexpr Rect kStartStopButtonRect{384, 391, 108, 25};
inline constexpr Rect kRunButtonRect{502, 391, 108, 25};
inline constexpr Rect kCloseButtonRect{620, 391, 108, 25};
// The consent box; hidden in this configuration.
inline constexpr Rect kConsentCheckBoxRect{13, 293, 16, 16};

// The bitmaps of a button: (pointer over, normal, disabled).
struct ButtonBitmaps {
    int over;
    int normal;
    int disabled;
};
inline constexpr ButtonBitmaps kFolderBitmaps{164, 165, 166};
inline constexpr ButtonBitmaps kStartBitmaps{176, 174, 175};
inline constexpr ButtonBitmaps kStopBitmaps{191, 192, 193};
inline constexpr ButtonBitmaps kRunBitmaps{197, 199, 198};
inline constexpr ButtonBitmaps kCloseBitmaps{173, 171, 172};
inline constexpr int kConsentTickedBitmap = 178;
inline constexpr int kConsentClearBitmap = 177;
inline constexpr int kBarFillBitmap = 179;        // 85 x 16, tiled
inline constexpr int kBarBackgroundBitmap = 180;  // 286 x 18
inline constexpr int kGraphBitmap = 200;          // 342 x 69

// The frame pieces, painted under everything at these points.
inline constexpr int kSkinTop = 187;
inline constexpr int kSkinBottom = 188;
inline constexpr int kSkinLeft = 189;
inline constexpr int kSkinRight = 190;  // with the right-hand panel's captions
inline constexpr Rect kSkinTopRect{0, 0, 748, 20};
inline constexpr Rect kSkinBottomRect{0, 416, 748, 21};
inline constexpr Rect kSkinLeftRect{0, 20, 21, 396};
inline constexpr Rect kSkinRightRect{363, 20, 385, 396};

// The part of the banner's place that the frame pieces leave open: the
// banner shows here, else the skin's own panel.
inline constexpr Rect kBannerRect{21, 20, 342, 396};
// Dragging the window by this strip moves it, as the caption would.
inline constexpr int kDragStripHeight = 28;

// The number of samples the speed graph keeps.
inline constexpr int kGraphSamples = 68;

namespace colour {
// Behind the skin, seen only where a picture is missing.
inline constexpr Rgb kBackground{26, 30, 38};
inline constexpr Rgb kLabelText{239, 239, 239};
inline constexpr Rgb kFinishedText{255, 255, 0};
inline constexpr Rgb kGraphBar{213, 186, 17};
}  // namespace colour

}  // namespace gui
