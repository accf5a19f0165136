// CliDriver: one run of the main window's controller from a terminal. It
// runs the window's message loop on the calling thread (the service's
// events, the controller's own messages, a redraw once a second, a stop
// request) and does what a user of the window would do: once the sizes
// are known it picks the folder given on the command line, declines
// high-speed download when asked to, starts the download, and after the
// job has finished presses Run unless told not to.
//
// The outcome follows from the controller's quit and message boxes: a quit
// ends the run with its status; a disk-full or failed-download message, a
// job that vanished without finishing, or a folder the controller refused
// end it with 1; a stop request with 128 + the signal.
#pragma once

#include <optional>
#include <string>

#include "launcher/cli/cli_options.h"
#include "launcher/cli/message_queue.h"
#include "launcher/cli/observed_service.h"
#include "launcher/cli/status_view.h"
#include "launcher/cli/terminal_window.h"
#include "launcher/tlx_downloader_dlg.h"

struct CliOutcome {
    int status = 0;
    // One line; empty on success.
    std::string reason;
};

class CliDriver {
public:
    // `options.folder` is absolute (or empty).
    CliDriver(const CliOptions& options, CTLXDownloaderDlg& dlg, TerminalWindowSystem& window,
              ObservedServiceClient& service, CliMessageQueue& queue, StatusView& view);

    // Call after OnInitDialog; returns when the run has an outcome. The
    // caller then calls OnDestroy.
    CliOutcome Run();

private:
    enum class Phase { kFileList, kSizeCheck, kFolder, kDownload, kInstaller };

    void AfterMessage(const CliQueuedMessage& message);
    void OnFileListTaken();
    void OnSizesKnown();
    bool ChooseFolder();
    void StartDownload();
    void OnFinishedFiles();
    void OnJobFinished();
    // Looks at what the last step left behind and settles the outcome.
    void Judge();
    void End(int status, std::string reason);
    void Redraw();
    // A milestone line (not in --check-only, whose output is the total).
    void Say(const std::string& line);
    std::string FileListUrl() const;
    std::string ExplainedBy(std::string reason) const;

    const CliOptions& options_;
    CTLXDownloaderDlg& dlg_;
    TerminalWindowSystem& window_;
    ObservedServiceClient& service_;
    CliMessageQueue& queue_;
    StatusView& view_;
    Phase phase_ = Phase::kFileList;
    // The message box the current step showed, if any.
    std::optional<std::u16string> notice_;
    std::optional<CliOutcome> outcome_;
};
