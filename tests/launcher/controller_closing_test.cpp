// The controller's end: Run and the installer, Close, the system's close,
// Escape, and the window's destruction; and the folder button.
#include "platform/files.h"
#include "tests/launcher/controller_fixture.h"

namespace {
using Calls = std::vector<std::string>;
}

TEST_F(ControllerTest, RunBeforeTheEndOnlyTellsTheUser) {
    ReachDownloading();
    dlg_->OnRunClicked();
    EXPECT_EQ(LastBox().text, "尚未結束下載。");
    EXPECT_EQ(LastBox().caption, "tlxdownloader");
    EXPECT_EQ(LastBox().icon, MessageBoxIcon::kExclamation);
    EXPECT_TRUE(window_.posted.empty());
    // A stray run message does not start anything either.
    dlg_->HandleMessage(kMessageRunInstaller, 0, 0);
    EXPECT_TRUE(window_.started.empty());
}

TEST_F(ControllerTest, RunStartsTheInstallerThroughItsOwnMessageAndQuits) {
    ReachDownloading();
    service_.fileEvents = {"http://h/a/setup.exe,/f/setup.exe"};
    Event(kEventFileCompleted, kJob1);
    Event(kEventJobCompleted, kJob1);
    window_.existing.insert("/f/setup.exe");
    dlg_->OnRunClicked();
    EXPECT_FALSE(window_.enabled.at(kRunButton));
    EXPECT_EQ(window_.moves.at(kSpeedStatusLabel).y, 173);
    EXPECT_EQ(window_.moves.at(kSpeedStatusLabel).width, 270);
    EXPECT_EQ(window_.moves.at(kSpeedStatusLabel).height, 42);
    EXPECT_EQ(window_.texts.at(kSpeedStatusLabel), "檢查下載的文件後執行安裝。");
    EXPECT_TRUE(window_.started.empty());
    Pump();
    EXPECT_EQ(window_.started, Calls{"runas /f/setup.exe"});
    EXPECT_EQ(window_.startWaitMs, CTLXDownloaderDlg::kInstallerIdleWaitMs);
    EXPECT_EQ(window_.quits, std::vector<int>{0});
}

TEST_F(ControllerTest, MissingInstallerIsNamedAndTheProgramStillEnds) {
    ReachDownloading();
    Event(kEventJobCompleted, kJob1);
    dlg_->OnRunClicked();
    Pump();
    EXPECT_EQ(LastBox().text, "該路徑(NULL)檔案不存在。");

    service_.fileEvents = {"http://h/a/setup.exe,/f/setup.exe"};
    CTLXDownloaderDlg second(window_, service_, u"tlxdownloader", u"");
    second.OnInitDialog();
    service_.document = "http://h/a/setup.exe\n";
    second.OnServiceEvent(kEventDocumentComplete, 0);
    second.OnStartStopClicked();
    second.OnServiceEvent(kEventFileCompleted, kJob2);
    second.OnServiceEvent(kEventJobCompleted, kJob2);
    second.OnRunInstallerMessage();
    EXPECT_EQ(LastBox().text, "該路徑(/f/setup.exe)檔案不存在。");
    EXPECT_EQ(LastBox().caption, "tlxdownloader");
    EXPECT_TRUE(window_.started.empty());
    EXPECT_EQ(window_.quits, (std::vector<int>{1, 1}));
}

TEST_F(ControllerTest, CloseAndEscapeWhileIdleEndAtOnce) {
    ReachReady("http://h/a/setup.exe\n");
    dlg_->OnCloseClicked();
    dlg_->OnEscapeKey();
    dlg_->OnSystemClose();
    EXPECT_EQ(window_.dialogEnds, 3);
    EXPECT_TRUE(window_.boxes.empty());
}

TEST_F(ControllerTest, CloseDuringADownloadAsksFirst) {
    ReachDownloading();
    window_.answers = {MessageBoxAnswer::kNo};
    dlg_->OnEscapeKey();
    EXPECT_EQ(LastBox().text, "關閉視窗時，即會中止下載 ZK4\n確定要關閉視窗嗎？");
    EXPECT_EQ(LastBox().caption, "ZK4");
    EXPECT_EQ(LastBox().buttons, MessageBoxButtons::kYesNo);
    EXPECT_EQ(LastBox().icon, MessageBoxIcon::kExclamation);
    EXPECT_TRUE(dlg_->HasJob());
    EXPECT_EQ(window_.dialogEnds, 0);

    window_.answers = {MessageBoxAnswer::kYes};
    dlg_->OnCloseClicked();
    EXPECT_EQ(service_.CallsStartingWith("RemoveJob"), Calls{"RemoveJob(job1)"});
    EXPECT_EQ(window_.dialogEnds, 1);
}

TEST_F(ControllerTest, SystemCloseDuringADownloadAsksWithItsOwnText) {
    ReachDownloading();
    window_.answers = {MessageBoxAnswer::kYes};
    dlg_->OnSystemClose();
    EXPECT_EQ(LastBox().text, "關閉視窗時，將立即終止下載 ZK4\n確定要關閉視窗嗎？");
    EXPECT_EQ(LastBox().caption, "ZK4");
    EXPECT_FALSE(dlg_->HasJob());
    EXPECT_EQ(window_.dialogEnds, 1);
}

TEST_F(ControllerTest, JobEndingWhileTheCloseQuestionIsOpenIsRemovedOnce) {
    ReachDownloading();
    window_.insideBox = [&] { Event(kEventJobCompleted, kJob1); };
    window_.answers = {MessageBoxAnswer::kYes};
    dlg_->OnCloseClicked();
    EXPECT_EQ(service_.CallsStartingWith("RemoveJob").size(), 1u);
    EXPECT_EQ(window_.dialogEnds, 1);
}

TEST_F(ControllerTest, DestructionStopsTheJobThenTheServiceAndHearsNoMore) {
    ReachDownloading();
    service_.calls.clear();
    dlg_->OnDestroy();
    EXPECT_EQ(service_.calls, (Calls{"StopJob(job1)", "RemoveJob(job1)", "FinalizeService()"}));
    dlg_->OnDestroy();
    service_.document = "http://h/x\n";
    Event(kEventDocumentComplete);
    Event(kEventLengthCheckFailed);
    dlg_->OnStartStopClicked();
    EXPECT_EQ(service_.calls.size(), 3u);
    EXPECT_TRUE(window_.boxes.empty());
}

TEST_F(ControllerTest, ChosenFolderGetsItsSeparatorShowsAtOnceAndOutlivesTheSizeCheck) {
    ASSERT_TRUE(dlg_->OnInitDialog());
    service_.document = "http://h/a/setup.exe\n";
    Event(kEventDocumentComplete);
    window_.browseAnswer = u"/data/games";
    // The missing folder is made for the browser's preselection, one level only.
    ASSERT_TRUE(plat::CreateFolder(Home()) && plat::CreateFolder(Home() + "/tovalen"));
    dlg_->OnFolderClicked();
    EXPECT_EQ(window_.browseTitles, Calls{"至少需要 0 Bytes 容量。\n"});
    EXPECT_EQ(window_.browseInitial, Calls{DefaultFolder()});
    EXPECT_TRUE(plat::IsFolder(DefaultFolder()));
    EXPECT_EQ(window_.texts.at(kFolderLabel), "/data/games/");
    service_.sizeTotal = 2048;
    Event(kEventLengthsKnown);
    Pump();
    EXPECT_EQ(window_.texts.at(kFolderLabel), "/data/games/");
    dlg_->OnStartStopClicked();
    EXPECT_EQ(service_.CallsStartingWith("AddJobFile"),
              Calls{"AddJobFile(job1,http://h/a/setup.exe,/data/games/)"});
}

TEST_F(ControllerTest, EngineFolderIsRefusedButOtherLetterCaseIsNot) {
    ReachReady("http://h/a/setup.exe\n", 2048);
    window_.browseAnswer = u"/opt/Norvex/TLXDownloader";
    dlg_->OnFolderClicked();
    EXPECT_EQ(LastBox().text, "選擇的路徑無法使用");
    EXPECT_EQ(LastBox().caption, "tlxdownloader");
    EXPECT_EQ(LastBox().icon, MessageBoxIcon::kExclamation);
    EXPECT_EQ(dlg_->DownloadFolder(), plat::AnsiToWide(DefaultFolder()));
    window_.browseAnswer = u"/opt/Norvex/tlxdownloader/";
    dlg_->OnFolderClicked();
    EXPECT_EQ(dlg_->DownloadFolder(), u"/opt/Norvex/tlxdownloader/");
    EXPECT_EQ(window_.browseTitles.back(), "至少需要 2.00 KB 容量。\n");
}

TEST_F(ControllerTest, FolderButtonDoesNothingDuringAJobAndCancelKeepsTheFolder) {
    ReachDownloading();
    dlg_->OnFolderClicked();
    EXPECT_TRUE(window_.browseTitles.empty());
    dlg_->OnStartStopClicked();
    window_.browseAnswer.reset();
    dlg_->OnFolderClicked();
    EXPECT_EQ(window_.browseTitles.size(), 1u);
    EXPECT_EQ(dlg_->DownloadFolder(), plat::AnsiToWide(DefaultFolder()));
}
