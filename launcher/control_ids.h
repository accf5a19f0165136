// Identifiers of the main window's controls and the messages it posts to
// itself. A front end maps each id onto its own control.
#pragma once

#include <cstdint>

enum ControlId : int {
    kBannerBrowser = 1000,
    kFileLabel = 1002,  // "%s [%d/%d]"
    kRemainingLabel = 1003,
    kTotalLabel = 1005,
    kFolderLabel = 1007,  // ellipsis at its end when too long
    kFolderButton = 1008,
    kConsentCheckBox = 1010,  // hidden in this configuration
    kStartStopButton = 1011,  // the default button
    kCloseButton = 1012,
    kCurrentFileBar = 1013,
    kReceivedLabel = 1015,
    kOverallBar = 1016,
    kRunButton = 1017,
    kSpeedGraph = 1018,
    kSpeedStatusLabel = 1019,  // the speed; after Run, the status text
    kElapsedLabel = 1020,
};

// The service's events (wParam: event code, lParam: job or 0).
inline constexpr std::uint32_t kMessageServiceEvent = 0x2B10;
// Refresh every label from the controller's texts.
inline constexpr std::uint32_t kMessageRefreshLabels = 0x2B11;
// Start the installer and quit (WM_USER + 1).
inline constexpr std::uint32_t kMessageRunInstaller = 0x401;
