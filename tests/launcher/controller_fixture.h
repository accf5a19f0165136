// Runs the main window controller against the recording window and
// service, with a home and a configuration folder of its own so that the
// default download folder and the stored folder value stay in the test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "launcher/control_ids.h"
#include "launcher/required_size.h"
#include "launcher/tlx_downloader_dlg.h"
#include "service/base/job_records.h"
#include "tests/launcher/recording_service.h"
#include "tests/launcher/recording_window.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_folder.h"

class ControllerTest : public testing::Test {
protected:
    void SetUp() override {
        SetRequiredSize(0);  // one value for the process: earlier tests set it
        dlg_ = std::make_unique<CTLXDownloaderDlg>(window_, service_, u"tlxdownloader", u"");
    }

    std::string Home() const { return home_.Path() + "home"; }
    std::string DefaultFolder() const { return Home() + "/tovalen/ZK4/"; }

    void Event(int code, plat::LParam job = 0) {
        dlg_->HandleMessage(kMessageServiceEvent, code, job);
    }
    // Hands the window's posted messages back to the controller, as its loop would.
    void Pump() {
        while (!window_.posted.empty()) {
            PostedMessage m = window_.posted.front();
            window_.posted.pop_front();
            dlg_->HandleMessage(m.message, m.wParam, m.lParam);
        }
    }
    // Initialised, list fetched, sizes known: the Ready state.
    void ReachReady(const std::string& list, std::int64_t total = 4096) {
        ASSERT_TRUE(dlg_->OnInitDialog());
        service_.document = list;
        Event(kEventDocumentComplete);
        service_.sizeTotal = total;
        Event(kEventLengthsKnown);
        Pump();
    }
    // Ready with two files, then Start: the Downloading state with job 1.
    void ReachDownloading() {
        ReachReady("http://h/a/setup.exe\r\nhttp://h/a/data.bin\r\n");
        dlg_->OnStartStopClicked();
        ASSERT_TRUE(dlg_->HasJob());
    }
    const RecordedBox& LastBox() const { return window_.boxes.back(); }

    TempFolder home_;
    ScopedEnv homeVariable_{"HOME", (home_.Path() + "home").c_str()};
    ScopedEnv configVariable_{"XDG_CONFIG_HOME", (home_.Path() + "config").c_str()};
    ScopedEnv patchVariable_{"TLX_PATCH_SERVER", "patch.test:8080"};
    RecordingWindow window_;
    RecordingService service_;
    std::unique_ptr<CTLXDownloaderDlg> dlg_;
};

inline constexpr plat::LParam kJob1 = 0x1010;
inline constexpr plat::LParam kJob2 = 0x1020;
