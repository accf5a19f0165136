// tlxdownloader-cli: the downloader's main window run from a terminal (see
// cli_options.h for the command line, cli_driver.h for what it does).
//
// Exit status: 0 when the job finished (and the installer was started,
// unless --no-install), or for --check-only when the total was printed;
// 1 when the run ends on a failure; 2 for bad usage; 128 + the signal when
// stopped by SIGINT or SIGTERM. Every status but 0 comes with one line on
// standard error.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "launcher/application_start.h"
#include "launcher/cli/cli_driver.h"
#include "launcher/cli/cli_options.h"
#include "launcher/cli/message_queue.h"
#include "launcher/cli/observed_service.h"
#include "launcher/cli/signal_watcher.h"
#include "launcher/cli/status_view.h"
#include "launcher/cli/terminal_text.h"
#include "launcher/cli/terminal_window.h"
#include "launcher/download_service_client.h"
#include "launcher/tlx_downloader_dlg.h"
#include "platform/instance_lock.h"
#include "platform/text.h"
#include "platform/window.h"

namespace {

constexpr char kProgram[] = "tlxdownloader-cli";

int Finish(const CliOutcome& outcome) {
    if (outcome.status != 0)
        std::fprintf(
            stderr, "%s: %s\n", kProgram,
            outcome.reason.empty() ? "failed" : EscapeForTerminal(outcome.reason, false).c_str());
    return outcome.status;
}

bool StdoutIsTerminal() {
    const char* term = std::getenv("TERM");
    // A dumb terminal cannot move its cursor, so it gets the plain lines.
    return isatty(STDOUT_FILENO) && !(term && std::strcmp(term, "dumb") == 0);
}

// The run with the single-instance name held.
CliOutcome RunController(const CliOptions& options, const std::u16string& programName,
                         StatusView& view) {
    CliMessageQueue queue;
    // The service posts from its worker thread; the loop takes on this one.
    plat::Hwnd notify = plat::CreateForwardingWindow(
        [&queue](const plat::Msg& msg) { queue.Post(msg.message, msg.wParam, msg.lParam); });
    if (!notify) return {1, "the service's notification window could not be created"};

    CDownloadServiceClient service(notify);
    ObservedServiceClient observed(service);
    if (options.resume != ResumeAnswer::kAsk)
        observed.AnswerResumeUpFront(options.resume == ResumeAnswer::kContinue);
    const bool interactive = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
    TerminalWindowSystem window(view, queue, interactive, options.resume);
    CTLXDownloaderDlg dlg(window, observed, programName, plat::AnsiToWide(options.fileListUrl));
    CliOutcome outcome;
    {
        SignalWatcher signals([&queue](int signal) { queue.RequestStop(signal); },
                              view.Terminal() ? StatusView::RestoreSequence() : "");
        {
            // The service's threads start here; they are kept out of the
            // signals' way.
            ScopedStopSignalsBlocked blocked;
            signals.Start();
            dlg.OnInitDialog();
        }
        CliDriver driver(options, dlg, window, observed, queue, view);
        outcome = driver.Run();
        // Stops the job and the service; still inside the watcher's life, so
        // that a second Ctrl-C here ends the process at once.
        dlg.OnDestroy();
    }
    plat::DestroyWindow(notify);
    return outcome;
}

}  // namespace

int main(int argc, char** argv) {
    CliOptions options;
    std::string error;
    switch (ParseCliOptions(argc, argv, &options, &error)) {
        case ParseOutcome::kHelp:
            std::fputs(CliHelp(), stdout);
            return 0;
        case ParseOutcome::kVersion:
            std::printf("%s\n", CliVersion().c_str());
            return 0;
        case ParseOutcome::kBadUsage:
            std::fprintf(stderr, "%s: %s; %s\n", kProgram, error.c_str(), CliUsage());
            return 2;
        case ParseOutcome::kRun:
            break;
    }
    if (!options.folder.empty()) {
        std::error_code failed;
        const std::filesystem::path absolute = std::filesystem::absolute(options.folder, failed);
        if (failed) {
            std::fprintf(stderr, "%s: --folder %s: %s; %s\n", kProgram, options.folder.c_str(),
                         failed.message().c_str(), CliUsage());
            return 2;
        }
        options.folder = absolute.lexically_normal().string();
    }

    const std::u16string programName = ProgramNameFromPath(argv[0]);
    StatusView view(StdoutIsTerminal());
    // One downloader at a time: the service's log and data folder are shared.
    plat::InstanceLock instance;
    if (instance.Acquire(plat::WideToAnsi(InstanceMutexName())) ==
        plat::InstanceLock::State::kHeldElsewhere) {
        view.PrintLine("[" + plat::WideToAnsi(programName) + "] " +
                       plat::WideToAnsi(kAlreadyRunningText));
        return Finish({1, "another downloader is already running"});
    }
    return Finish(RunController(options, programName, view));
}
