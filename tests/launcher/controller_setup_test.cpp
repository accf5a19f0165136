// The controller from its start to the Ready state: service start, the file
// list, the size check.
#include "launcher/required_size.h"
#include "tests/launcher/controller_fixture.h"

namespace {
using Calls = std::vector<std::string>;
const char kList[] = "http://patch.test:8080/download/zk4/tlxdownload/filelist.txt";
}  // namespace

TEST_F(ControllerTest, InitStartsTheServiceRequestsTheListAndNamesTheGame) {
    ASSERT_TRUE(dlg_->OnInitDialog());
    EXPECT_EQ(service_.calls,
              (Calls{"InitializeService()", std::string("LoadDocument(") + kList + ")",
                     "SetServiceKey(joltwave_zorakine4)"}));
    EXPECT_FALSE(window_.enabled.at(kRunButton));
    EXPECT_EQ(window_.banner, "http://patch.test:8080/download/zk4/tlxdownload/ZK4_TW.gif");
    EXPECT_TRUE(window_.checks.at(kConsentCheckBox));
    EXPECT_TRUE(window_.boxes.empty());
    EXPECT_TRUE(window_.quits.empty());
}

TEST_F(ControllerTest, CommandLineUrlReplacesTheDefaultList) {
    CTLXDownloaderDlg dlg(window_, service_, u"tlxdownloader", u"http://other.test/list.txt");
    ASSERT_TRUE(dlg.OnInitDialog());
    EXPECT_EQ(service_.calls.at(1), "LoadDocument(http://other.test/list.txt)");
}

TEST_F(ControllerTest, FailedServiceStartIsToldAndQuitsYetTheListIsStillAsked) {
    service_.initializeResult = kResultFailed;
    dlg_->OnInitDialog();
    ASSERT_EQ(window_.boxes.size(), 1u);
    EXPECT_EQ(window_.boxes[0].text, "初始化失敗。");
    EXPECT_EQ(window_.boxes[0].caption, "tlxdownloader");
    EXPECT_EQ(window_.boxes[0].icon, MessageBoxIcon::kExclamation);
    EXPECT_EQ(window_.quits.size(), 1u);
    EXPECT_EQ(service_.CallsStartingWith("LoadDocument").size(), 1u);
}

TEST_F(ControllerTest, RefusedListRequestEndsInitialisation) {
    service_.loadResult = kResultFailed;
    EXPECT_FALSE(dlg_->OnInitDialog());
    EXPECT_EQ(LastBox().text, "下載檔案目錄失敗。");
    EXPECT_EQ(LastBox().caption, "tlxdownloader");
    EXPECT_EQ(window_.quits.size(), 1u);
    EXPECT_TRUE(window_.banner.empty());
    EXPECT_TRUE(service_.CallsStartingWith("SetServiceKey").empty());
}

TEST_F(ControllerTest, ListLinesGoToTheSizeCheckInOrder) {
    ASSERT_TRUE(dlg_->OnInitDialog());
    service_.calls.clear();
    service_.document = "http://h/1\r\nhttp://h/2\n\n  http://h/3  \r\nab";
    Event(kEventDocumentComplete);
    EXPECT_EQ(service_.calls, (Calls{"FetchDocument()", "AddSizeCheckUrl(http://h/1)",
                                     "AddSizeCheckUrl(http://h/2)", "AddSizeCheckUrl(http://h/3)",
                                     "StartSizeCheck()"}));
    EXPECT_TRUE(window_.boxes.empty());
}

TEST_F(ControllerTest, OverlongLineStopsEverything) {
    ASSERT_TRUE(dlg_->OnInitDialog());
    service_.document = "http://h/1\n" + std::string(1024, 'x') + "\nhttp://h/3\n";
    Event(kEventDocumentComplete);
    EXPECT_EQ(LastBox().text, "輸入了錯誤的URL");
    EXPECT_EQ(LastBox().caption, "ZK4");
    EXPECT_EQ(LastBox().icon, MessageBoxIcon::kNone);
    EXPECT_EQ(window_.quits.size(), 1u);
    EXPECT_TRUE(service_.CallsStartingWith("StartSizeCheck").empty());
}

TEST_F(ControllerTest, EmptyOrMissingOrFailedListQuits) {
    ASSERT_TRUE(dlg_->OnInitDialog());
    service_.document = " \r\n\n";
    Event(kEventDocumentComplete);
    service_.document.reset();
    Event(kEventDocumentComplete);
    Event(kEventDocumentFailed);
    ASSERT_EQ(window_.boxes.size(), 3u);
    for (const RecordedBox& box : window_.boxes) {
        EXPECT_EQ(box.text, "下載檔案目錄失敗");
        EXPECT_EQ(box.caption, "ZK4");
        EXPECT_EQ(box.icon, MessageBoxIcon::kNone);
    }
    EXPECT_EQ(window_.quits.size(), 3u);
    EXPECT_TRUE(service_.CallsStartingWith("AddSizeCheckUrl").empty());
}

TEST_F(ControllerTest, SizeCheckWithoutServiceIsToldOnce) {
    ASSERT_TRUE(dlg_->OnInitDialog());
    service_.sizeCheckAvailable = false;
    service_.document = "http://h/1\nhttp://h/2\n";
    Event(kEventDocumentComplete);
    ASSERT_EQ(window_.boxes.size(), 1u);
    EXPECT_EQ(LastBox().text, "檔案大小確認失敗");
    EXPECT_EQ(LastBox().caption, "tlxdownloader");
    EXPECT_EQ(LastBox().icon, MessageBoxIcon::kExclamation);
    EXPECT_TRUE(service_.CallsStartingWith("StartSizeCheck").empty());
}

TEST_F(ControllerTest, FailedSizeCheckQuitsWithAnIconlessBox) {
    ASSERT_TRUE(dlg_->OnInitDialog());
    Event(kEventLengthCheckFailed);
    EXPECT_EQ(LastBox().text, "檔案大小確認失敗");
    EXPECT_EQ(LastBox().caption, "tlxdownloader");
    EXPECT_EQ(LastBox().icon, MessageBoxIcon::kNone);
    EXPECT_EQ(window_.quits.size(), 1u);
}

TEST_F(ControllerTest, KnownSizeFillsTheLabelsAfterTheRefreshMessage) {
    ReachReady("http://h/a/setup.exe\nhttp://h/a/data.bin\n", 3 * 1024 * 1024);
    EXPECT_EQ(RequiredSize(), 3 * 1024 * 1024);
    EXPECT_EQ(window_.texts.at(kTotalLabel), "3.00 MB");
    EXPECT_EQ(window_.texts.at(kFileLabel), "setup.exe [1/2]");
    EXPECT_EQ(window_.texts.at(kRemainingLabel), "00:00:00");
    EXPECT_EQ(window_.texts.at(kElapsedLabel), "00:00:00");
    EXPECT_EQ(window_.texts.at(kReceivedLabel), "0 Bytes");
    EXPECT_EQ(window_.texts.at(kSpeedStatusLabel), "0.0 Bytes");
    EXPECT_EQ(window_.texts.at(kFolderLabel), DefaultFolder());
    EXPECT_EQ(window_.centred, 1);
}

TEST_F(ControllerTest, UnknownEventsChangeNothing) {
    ASSERT_TRUE(dlg_->OnInitDialog());
    const std::size_t calls = service_.calls.size();
    for (int code : {518, 519, 520, 521, 527, 528, 529, 600}) Event(code, 1);
    EXPECT_EQ(service_.calls.size(), calls);
    EXPECT_TRUE(window_.boxes.empty());
    EXPECT_FALSE(dlg_->HandleMessage(0x2B12, 0, 0));
}
