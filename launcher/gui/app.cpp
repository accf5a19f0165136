// The window program's start: the command line, the single-instance rule
// and the main window.
//
//   tlxdownloader [FILE_LIST_URL]
//
// Only the first parameter means something (a leading "-" or "/" is
// removed); further ones are ignored. A second start while one runs shows
// the "already running" text, asks the running one to bring its window
// forward and ends.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <wx/app.h>
#include <wx/image.h>
#include <wx/init.h>
#include <wx/log.h>

#include <atomic>
#include <cstdio>
#include <cstdint>
#include <functional>
#include <thread>

#include "launcher/application_start.h"
#include "launcher/gui/dialogs.h"
#include "launcher/gui/main_frame.h"
#include "platform/instance_channel.h"
#include "platform/instance_lock.h"
#include "platform/shell_execute.h"
#include "platform/text.h"

namespace gui {
namespace {

// How long a second start waits for the running one to confirm.
constexpr int kRaiseAnswerWaitMs = 2000;

// What main() learns before the toolkit starts: the toolkit takes its own
// options out of the command line, which must stay as the user gave it.
struct StartInfo {
    std::u16string programName;
    std::u16string fileListUrl;
    std::string instanceName;
    plat::InstanceLock::State instance = plat::InstanceLock::State::kNone;
    int exitCode = 0;
    // Whether the toolkit came up at all (it cannot without a display).
    bool toolkitStarted = false;
};

StartInfo* g_start = nullptr;

// SIGINT and SIGTERM end the window as its Close button would without a
// question: the job is stopped and the service finalised, so the files on
// disk stay consistent. The handler only writes to a pipe; a thread turns
// that into a call on the user-interface thread.
class TerminationWatch {
public:
    ~TerminationWatch() { Stop(); }

    void Start(std::function<void(int signal)> onSignal) {
        if (pipe2(fds_, O_CLOEXEC) != 0) return;
        writeFd_.store(fds_[1]);
        onSignal_ = std::move(onSignal);
        thread_ = std::thread([this] {
            unsigned char signal = 0;
            while (read(fds_[0], &signal, 1) == 1 && signal != 0) onSignal_(signal);
        });
        struct sigaction action {};
        action.sa_handler = [](int signal) {
            const unsigned char byte = static_cast<unsigned char>(signal);
            const int fd = writeFd_.load();
            if (fd >= 0) {
                [[maybe_unused]] const ssize_t n = write(fd, &byte, 1);
            }
        };
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    }

    void Stop() {
        if (!thread_.joinable()) return;
        const unsigned char stop = 0;
        [[maybe_unused]] const ssize_t n = write(fds_[1], &stop, 1);
        thread_.join();
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        writeFd_.store(-1);
        close(fds_[0]);
        close(fds_[1]);
    }

private:
    static inline std::atomic<int> writeFd_{-1};
    int fds_[2] = {-1, -1};
    std::function<void(int)> onSignal_;
    std::thread thread_;
};

class DownloaderApp : public wxApp {
public:
    bool OnInit() override;
    int OnExit() override;

private:
    TerminationWatch termination_;
    MainFrame* frame_ = nullptr;
    int exitCode_ = 0;
};

bool DownloaderApp::OnInit() {
    g_start->toolkitStarted = true;
    wxLog::EnableLogging(true);
    // The toolkit's own command-line handling (wxApp::OnInit) is left out on
    // purpose: the program takes no options.
    SetAppName("tlxdownloader");
    // The skin and the banner are pictures read from memory.
    wxInitAllImageHandlers();
    if (g_start->instance == plat::InstanceLock::State::kHeldElsewhere) {
        ShowMessageBox(nullptr, kAlreadyRunningText, g_start->programName, MessageBoxButtons::kOk,
                       MessageBoxIcon::kExclamation);
        // When the running one does not answer, this start still ends quietly.
        plat::RequestRaise(g_start->instanceName, kRaiseAnswerWaitMs);
        g_start->exitCode = 0;
        return false;
    }

    frame_ = new MainFrame(g_start->programName, g_start->fileListUrl, [this](int exitCode) {
        exitCode_ = exitCode;
        frame_ = nullptr;
    });
    if (g_start->instance == plat::InstanceLock::State::kAcquired)
        frame_->ListenForRaiseRequests(g_start->instanceName);
    termination_.Start([this](int signal) {
        CallAfter([this, signal] {
            if (frame_) frame_->EndAtOnce(128 + signal);
        });
    });
    frame_->Show();
    frame_->CallAfter(&MainFrame::Start);
    return true;
}

int DownloaderApp::OnExit() {
    termination_.Stop();
    g_start->exitCode = exitCode_;
    return wxApp::OnExit();
}

}  // namespace
}  // namespace gui

wxIMPLEMENT_APP_NO_MAIN(gui::DownloaderApp);

int main(int argc, char** argv) {
    gui::StartInfo start;
    start.fileListUrl = ParseCommandLine(argc, argv).FileListUrl();
    const std::string self = plat::ExecutablePath();
    start.programName = ProgramNameFromPath(self.empty() ? std::string(argv[0]) : self);
    start.instanceName = plat::WideToAnsi(InstanceMutexName());
    // Held for the whole life of the process; without a lock file the
    // program runs unprotected.
    static plat::InstanceLock lock;
    start.instance = lock.Acquire(start.instanceName);
    gui::g_start = &start;

    // Without a display the toolkit gives up before the program starts and
    // says so in its own words; ours name the way out instead.
    wxLog::EnableLogging(false);
    wxEntry(argc, argv);
    if (!start.toolkitStarted) {
        std::fprintf(stderr,
                     "tlxdownloader: no display to open the window on (DISPLAY and "
                     "WAYLAND_DISPLAY are not usable); tlxdownloader-cli downloads without one\n");
        return 1;
    }
    return start.exitCode;
}

// Under LeakSanitizer: fontconfig keeps its caches of the fonts the toolkit
// looked up until the process ends, by design; those are not this
// program's leaks. The hook is an ordinary unused function elsewhere.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
