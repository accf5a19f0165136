// The controller while a job runs: Start / Stop, the consent box and the
// job's events.
#include "platform/config_store.h"
#include "tests/launcher/controller_fixture.h"

namespace {
using Calls = std::vector<std::string>;
}

TEST_F(ControllerTest, StartCreatesTheJobWithEveryUrlAndStoresTheFolder) {
    ReachReady("http://h/a/setup.exe\nhttp://h/a/data.bin\n");
    service_.calls.clear();
    dlg_->OnStartStopClicked();
    const std::string folder = DefaultFolder();
    EXPECT_EQ(
        service_.calls,
        (Calls{"SetServiceKey(joltwave_zorakine4)", "CreateJob(joltwave_zorakine4)",
               "SetJobEngineFlag(job1)", "AddJobFile(job1,http://h/a/setup.exe," + folder + ")",
               "AddJobFile(job1,http://h/a/data.bin," + folder + ")", "StartJob(job1,1)"}));
    EXPECT_EQ(window_.face, StartStopFace::kStop);
    EXPECT_FALSE(window_.enabled.at(kFolderButton));
    EXPECT_FALSE(window_.enabled.at(kRunButton));
    std::string stored;
    ASSERT_TRUE(plat::ReadConfigValue("Norvex Inc./DownloadPath", "ZK4", &stored));
    EXPECT_EQ(stored, folder);
}

TEST_F(ControllerTest, StopRemovesTheJobAndRestartsTheFileCount) {
    ReachDownloading();
    service_.fileEvents.push_back("http://h/a/setup.exe,/f/setup.exe");
    Event(kEventFileCompleted, kJob1);
    service_.calls.clear();
    dlg_->OnStartStopClicked();
    EXPECT_EQ(service_.calls, (Calls{"StopJob(job1)", "RemoveJob(job1)"}));
    EXPECT_FALSE(dlg_->HasJob());
    EXPECT_EQ(window_.face, StartStopFace::kStart);
    EXPECT_TRUE(window_.enabled.at(kFolderButton));
    // The next job counts from its first file again.
    dlg_->OnStartStopClicked();
    service_.fileEvents.push_back("http://h/a/setup.exe,/f/setup.exe");
    Event(kEventFileCompleted, kJob2);
    dlg_->OnRefreshLabels();
    EXPECT_EQ(window_.texts.at(kFileLabel), "data.bin [2/2]");
}

TEST_F(ControllerTest, RefusedConsentMeansNormalSpeedUnlessTheUserSaysNo) {
    ReachReady("http://h/a/setup.exe\n");
    window_.answers = {MessageBoxAnswer::kNo};
    dlg_->OnConsentClicked(false);
    EXPECT_EQ(LastBox().text,
              "不同意超高速下載時，以一般下載方式進行。\n要使用一般下載方式進行嗎？");
    EXPECT_EQ(LastBox().buttons, MessageBoxButtons::kYesNo);
    EXPECT_EQ(LastBox().icon, MessageBoxIcon::kExclamation);
    EXPECT_EQ(dlg_->Consent(), u"2");
    EXPECT_TRUE(window_.checks.at(kConsentCheckBox));

    window_.answers = {MessageBoxAnswer::kYes};
    dlg_->OnConsentClicked(false);
    EXPECT_EQ(dlg_->Consent(), u"1");
    dlg_->OnStartStopClicked();
    EXPECT_EQ(service_.CallsStartingWith("StartJob"), Calls{"StartJob(job1,0)"});
}

TEST_F(ControllerTest, JobThatCannotStartLeavesTheButtonAtStart) {
    ASSERT_TRUE(dlg_->OnInitDialog());
    service_.startResult = kResultFailed;  // no URLs yet: the job has no file
    dlg_->OnStartStopClicked();
    EXPECT_EQ(service_.CallsStartingWith("RemoveJob"), Calls{"RemoveJob(job1)"});
    EXPECT_FALSE(dlg_->HasJob());
    EXPECT_EQ(window_.face, StartStopFace::kStart);
    std::string stored;
    EXPECT_FALSE(plat::ReadConfigValue("Norvex Inc./DownloadPath", "ZK4", &stored));
}

TEST_F(ControllerTest, FolderThatCannotBeMadeIsToldAndNothingStarts) {
    ReachReady("http://h/a/setup.exe\n");
    service_.addFileResult = kResultBadFolder;
    dlg_->OnStartStopClicked();
    EXPECT_EQ(LastBox().text, "選擇的路徑無法使用");
    EXPECT_TRUE(service_.CallsStartingWith("StartJob").empty());
    EXPECT_FALSE(dlg_->HasJob());
    EXPECT_EQ(window_.face, StartStopFace::kStart);
}

TEST_F(ControllerTest, ProgressFillsBarsLabelsAndGraph) {
    ReachDownloading();
    JobProgress& p = service_.progress;
    p.total = 10 * 1024 * 1024;
    p.held = -1;  // read as unsigned: 2^64 - 1 bytes, beyond every unit
    p.rate = 1536;
    p.elapsed = 3661;
    p.left = 59;
    p.percent = 150;
    p.currentPercent = -5;
    Event(kEventJobProgress, kJob1);
    EXPECT_EQ(window_.bars.at(kOverallBar), 100);
    EXPECT_EQ(window_.bars.at(kCurrentFileBar), 0);
    EXPECT_EQ(window_.texts.at(kTotalLabel), "10.00 MB");
    EXPECT_EQ(window_.texts.at(kReceivedLabel), "");
    EXPECT_EQ(window_.texts.at(kSpeedStatusLabel), "1.50 KB/Sec");
    EXPECT_EQ(window_.texts.at(kElapsedLabel), "01:01:01");
    EXPECT_EQ(window_.texts.at(kRemainingLabel), "00:00:59");
    EXPECT_EQ(window_.graph, std::vector<int>{0});
}

TEST_F(ControllerTest, TransferStartResetsTheRemainingTime) {
    ReachDownloading();
    service_.progress.left = 99;
    Event(kEventJobProgress, kJob1);
    Event(kEventJobStart, kJob1);
    EXPECT_EQ(service_.CallsStartingWith("GetJobStartInfo"), Calls{"GetJobStartInfo(job1)"});
    EXPECT_EQ(window_.texts.at(kRemainingLabel), "00:00:00");
}

TEST_F(ControllerTest, FinishedFilesAdvanceTheLabelAndTheLastExeIsTheInstaller) {
    ReachReady("http://h/a/first.EXE\nhttp://h/a/data.bin\nhttp://h/a,b/setup.exe\n");
    dlg_->OnStartStopClicked();
    service_.fileEvents = {"http://h/a/first.EXE,/f/first.EXE", "http://h/a/data.bin,/f/data.bin"};
    Event(kEventFileCompleted, kJob1);
    EXPECT_EQ(dlg_->InstallerPath(), u"/f/first.EXE");
    Event(kEventFileCompleted, kJob1);
    EXPECT_EQ(dlg_->InstallerPath(), u"/f/first.EXE");
    dlg_->OnRefreshLabels();
    EXPECT_EQ(window_.texts.at(kFileLabel), "setup.exe [3/3]");
    // A comma inside the URL does not cut the path.
    service_.fileEvents = {"http://h/a,b/setup.exe,/f/a,b/setup.exe"};
    Event(kEventFileCompleted, kJob1);
    EXPECT_EQ(dlg_->InstallerPath(), u"/f/a,b/setup.exe");
    dlg_->OnRefreshLabels();
    EXPECT_EQ(window_.texts.at(kFileLabel), "setup.exe [3/3]");
}

TEST_F(ControllerTest, FinishedJobIsRemovedAndRunBecomesTheOnlyWayOn) {
    ReachDownloading();
    EXPECT_FALSE(dlg_->Finished());
    service_.calls.clear();
    Event(kEventJobCompleted, kJob1);
    EXPECT_EQ(service_.calls,
              (Calls{"GetJobCompletion(job1)", "StopJob(job1)", "RemoveJob(job1)"}));
    EXPECT_TRUE(dlg_->Finished());
    EXPECT_TRUE(window_.enabled.at(kRunButton));
    EXPECT_FALSE(window_.enabled.at(kStartStopButton));
    EXPECT_FALSE(window_.enabled.at(kFolderButton));
    EXPECT_EQ(window_.texts.at(kRemainingLabel), "00:00:00");
    // Nothing starts a new job afterwards.
    dlg_->OnStartStopClicked();
    EXPECT_TRUE(service_.CallsStartingWith("CreateJob").empty());
}

TEST_F(ControllerTest, EventsOfAStoppedJobAreIgnored) {
    ReachDownloading();
    dlg_->OnStartStopClicked();
    service_.calls.clear();
    for (int code : {513, 514, 515, 516, 517, 524}) Event(code, kJob1);
    EXPECT_TRUE(service_.calls.empty());
    EXPECT_FALSE(dlg_->Finished());
    EXPECT_EQ(window_.prompts, 0);
}

TEST_F(ControllerTest, FullDiskStopsTheJobAndNamesFolderAndShortfall) {
    ReachDownloading();
    service_.messages = {{513, ""}};
    service_.remainingBytes = 5 * 1024 * 1024;
    service_.calls.clear();
    Event(kEventJobMessage, kJob1);
    EXPECT_EQ(service_.calls, (Calls{"PopJobMessage(job1)", "GetRemainingBytes(job1)",
                                     "StopJob(job1)", "RemoveJob(job1)"}));
    EXPECT_EQ(LastBox().text, "硬碟(" + DefaultFolder() + ")的空間不足(5.00 MB)。");
    EXPECT_EQ(LastBox().caption, "ZK4");
    EXPECT_EQ(LastBox().icon, MessageBoxIcon::kNone);
    EXPECT_FALSE(dlg_->HasJob());
    EXPECT_TRUE(window_.quits.empty());
}

TEST_F(ControllerTest, AWaitingJobSaysSoAndAFailedOneEnds) {
    ReachDownloading();
    service_.messages = {{515, ""}, {516, ""}, {520, "30 http://h/a.pak: HTTP 503"}, {521, ""},
                         {518, ""}, {512, ""}};
    for (int i = 0; i < 3; ++i) Event(kEventJobMessage, kJob1);
    ASSERT_EQ(window_.boxes.size(), 2u);
    EXPECT_EQ(window_.boxes[0].text, "您的網路狀態不佳");
    EXPECT_EQ(window_.boxes[1].text, "您的網路回復正常");
    // Waiting: no box, the time of the next try where the speed was.
    const std::string waiting = window_.texts[kSpeedStatusLabel];
    EXPECT_EQ(waiting.rfind("連線中斷，", 0), 0u) << waiting;
    EXPECT_NE(waiting.find(" 重試"), std::string::npos) << waiting;
    EXPECT_TRUE(dlg_->HasJob());
    for (int i = 0; i < 3; ++i) Event(kEventJobMessage, kJob1);
    EXPECT_EQ(window_.boxes.size(), 2u);
    EXPECT_TRUE(dlg_->HasJob());

    // A failure the service does not wait out ends the job: the box names
    // the cause in the box's language, the button offers Start again.
    service_.messages = {{517, "http://h/a.pak: HTTP 404"}};
    Event(kEventJobMessage, kJob1);
    ASSERT_EQ(window_.boxes.size(), 3u);
    EXPECT_EQ(window_.boxes[2].text, "下載ZK4失敗\n請稍候再試\n\nhttp://h/a.pak：伺服器回應 HTTP 404");
    for (const RecordedBox& box : window_.boxes) EXPECT_EQ(box.caption, "ZK4");
    EXPECT_FALSE(dlg_->HasJob());
    EXPECT_EQ(window_.face, StartStopFace::kStart);
    EXPECT_EQ(window_.texts[kSpeedStatusLabel], "0.0 Bytes");
    EXPECT_EQ(window_.notifications.size(), 1u);
}

TEST_F(ControllerTest, ResumeAnswersFollowTheButtonsAndTheCheckBox) {
    ReachDownloading();
    window_.promptAction = [](CResumeDlg& p) { p.OnCancel(0); };
    Event(kEventResumePrompt, kJob1);
    window_.promptAction = [](CResumeDlg& p) { p.OnConfirm(1); };
    Event(kEventResumePrompt, kJob1);
    window_.promptAction = nullptr;  // Escape: the initial answers
    Event(kEventResumePrompt, kJob1);
    EXPECT_EQ(
        service_.CallsStartingWith("AnswerResume"),
        (Calls{"AnswerResume(job1,0,0)", "AnswerResume(job1,1,1)", "AnswerResume(job1,1,1)"}));
}

TEST_F(ControllerTest, ResumeReplyIsDroppedWhenTheJobEndedMeanwhile) {
    ReachDownloading();
    window_.insidePrompt = [&] { Event(kEventJobCompleted, kJob1); };
    Event(kEventResumePrompt, kJob1);
    EXPECT_TRUE(service_.CallsStartingWith("AnswerResume").empty());
    EXPECT_TRUE(dlg_->Finished());
}
