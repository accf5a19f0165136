// The launcher's logic beside the controller: the download folder, the
// stored folder value, the start's command line and single-instance name,
// the server addresses and the resume prompt.
#include <gtest/gtest.h>

#include <filesystem>

#include "launcher/application_start.h"
#include "launcher/download_folder.h"
#include "launcher/required_size.h"
#include "launcher/resume_prompt.h"
#include "launcher/server_addresses.h"
#include "platform/config_store.h"
#include "platform/files.h"
#include "platform/text.h"
#include "server_hosts.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_folder.h"

TEST(DownloadFolder, DefaultIsBelowTheHomeAndTheEngineFolderIsUnderOpt) {
    ScopedEnv home("HOME", "/home/player/");
    EXPECT_EQ(DefaultDownloadFolder(), u"/home/player/tovalen/ZK4/");
    EXPECT_EQ(EngineProgramPath(), u"/opt/Norvex/TLXDownloader/TLXDownloaderEngine.exe");
    EXPECT_TRUE(IsEngineFolder(u"/opt/Norvex/TLXDownloader/"));
    EXPECT_FALSE(IsEngineFolder(u"/opt/Norvex/TLXDownloader"));
    EXPECT_FALSE(IsEngineFolder(u"/opt/norvex/TLXDownloader/"));
    EXPECT_FALSE(IsEngineFolder(u"/opt/Norvex/TLXDownloader/sub/"));
}

TEST(DownloadFolder, RootHomeGivesNoDoubleSeparator) {
    ScopedEnv home("HOME", "/");
    EXPECT_EQ(DefaultDownloadFolder(), u"/tovalen/ZK4/");
}

TEST(DownloadFolder, SeparatorIsAppendedOnlyWhenMissing) {
    EXPECT_EQ(WithTrailingSeparator(u"/"), u"/");
    EXPECT_EQ(WithTrailingSeparator(u"/data"), u"/data/");
    EXPECT_EQ(WithTrailingSeparator(u"/data/"), u"/data/");
}

TEST(DownloadFolder, BrowseTextsShowTheRequiredSizeAndTheFreeSpace) {
    TempFolder dir;
    SetRequiredSize(0);
    EXPECT_EQ(BrowseTitleText(), u"至少需要 0 Bytes 容量。\n");
    SetRequiredSize(1536);
    const std::u16string text = BrowseSelectionText(plat::AnsiToWide(dir.Path() + "not/yet/made/"));
    const std::u16string head = u"至少需要 1.50 KB 容量。\n剩餘容量：";
    ASSERT_EQ(text.substr(0, head.size()), head);
    EXPECT_NE(text.substr(head.size()), u"0 Bytes");  // the nearest existing parent is asked
    SetRequiredSize(0);
}

TEST(DownloadPathValue, IsWrittenWholeAndReplaced) {
    TempFolder dir;
    ScopedEnv config("XDG_CONFIG_HOME", (dir.Path() + "cfg").c_str());
    EXPECT_EQ(WriteDownloadPathValue(u"ZK4", u"/home/p/遊戲/"), 1);
    EXPECT_EQ(WriteDownloadPathValue(u"ZK4", u"/x/"), 1);
    std::string stored;
    ASSERT_TRUE(plat::ReadWholeFile(dir.Path() + "cfg/Norvex Inc./DownloadPath/ZK4", &stored));
    EXPECT_EQ(stored, "/x/");
    // No temporary file is left beside the value.
    auto entries = std::filesystem::directory_iterator(dir.Path() + "cfg/Norvex Inc./DownloadPath");
    EXPECT_EQ(std::distance(std::filesystem::begin(entries), std::filesystem::end(entries)), 1);
}

TEST(DownloadPathValue, UnsafeNamesAndUnwritableStoresFail) {
    TempFolder dir;
    ScopedEnv config("XDG_CONFIG_HOME", (dir.Path() + "cfg").c_str());
    EXPECT_EQ(WriteDownloadPathValue(u"../escape", u"/x/"), 0);
    EXPECT_EQ(WriteDownloadPathValue(u"..", u"/x/"), 0);
    EXPECT_EQ(WriteDownloadPathValue(u"", u"/x/"), 0);
    EXPECT_FALSE(plat::WriteConfigValue("../out", "v", "x"));
    EXPECT_FALSE(plat::PathExists(dir.Path() + "escape"));
    ASSERT_TRUE(plat::AppendToFile(dir.Path() + "file", "x"));
    ScopedEnv blocked("XDG_CONFIG_HOME", (dir.Path() + "file").c_str());
    EXPECT_EQ(WriteDownloadPathValue(u"ZK4", u"/x/"), 0);
}

TEST(DownloadPathValue, TheChosenFolderIsReadBackUnlessItCannotBeOne) {
    TempFolder dir;
    ScopedEnv config("XDG_CONFIG_HOME", (dir.Path() + "cfg").c_str());
    ScopedEnv home("HOME", "/home/player/");
    EXPECT_EQ(StoredOrDefaultDownloadFolder(), u"/home/player/tovalen/ZK4/");
    ASSERT_EQ(WriteDownloadPathValue(u"ZK4", u"/games/遊戲"), 1);
    EXPECT_EQ(StoredOrDefaultDownloadFolder(), u"/games/遊戲/");
    // A value another program left that is no folder to download into.
    for (const char16_t* bad : {u"relative/dir", u"/opt/Norvex/TLXDownloader/", u""}) {
        ASSERT_EQ(WriteDownloadPathValue(u"ZK4", bad), 1);
        EXPECT_EQ(StoredOrDefaultDownloadFolder(), u"/home/player/tovalen/ZK4/")
            << plat::WideToAnsi(bad);
    }
}

TEST(DownloadFolder, TheBrowserOpensAtTheNearestFolderThatExists) {
    TempFolder dir;
    ASSERT_TRUE(plat::CreateFolder(dir.Path() + "a"));
    const std::u16string base = plat::AnsiToWide(dir.Path());
    EXPECT_EQ(NearestExistingFolder(base + u"a/"), base + u"a/");
    EXPECT_EQ(NearestExistingFolder(base + u"a/not/yet/"), base + u"a/");
    EXPECT_EQ(NearestExistingFolder(u"/no-such-root-folder/x/y/"), u"/");
}

TEST(CommandLine, OnlyTheFirstParameterCountsWithoutItsFlagMark) {
    const char* withSlash[] = {"tlxdownloader", "/http://h/list.txt", "second"};
    CCommandLineInfoParser parser = ParseCommandLine(3, withSlash);
    EXPECT_EQ(parser.FileListUrl(), u"http://h/list.txt");
    EXPECT_EQ(parser.ParametersSeen(), 2);
    const char* none[] = {"tlxdownloader"};
    EXPECT_EQ(ParseCommandLine(1, none).FileListUrl(), u"");
    const char* empty[] = {"tlxdownloader", "", "http://h/ignored"};
    EXPECT_EQ(ParseCommandLine(3, empty).FileListUrl(), u"");
    const char* dashed[] = {"tlxdownloader", "--x"};
    EXPECT_EQ(ParseCommandLine(2, dashed).FileListUrl(), u"-x");
}

TEST(ApplicationStart, ProgramNameIsTheBaseNameWithoutExtension) {
    EXPECT_EQ(ProgramNameFromPath("/usr/bin/tlxdownloader"), u"tlxdownloader");
    EXPECT_EQ(ProgramNameFromPath("/a.b/TLXDownloader.exe"), u"TLXDownloader");
    EXPECT_EQ(ProgramNameFromPath("tool"), u"tool");
}

TEST(ApplicationStart, InstanceNameUsesTheDefaultListAndIsCut) {
    {
        ScopedEnv patch("TLX_PATCH_SERVER", "127.0.0.1:8080");
        EXPECT_EQ(InstanceMutexName(),
                  u"TLXDownloadV3::http://127.0.0.1:8080/download/zk4/tlxdownload/filelist.txt");
    }
    const std::string longHost(250, 'h');
    ScopedEnv patch("TLX_PATCH_SERVER", longHost.c_str());
    const std::u16string name = InstanceMutexName();
    EXPECT_EQ(name.size(), kInstanceNameLimit);
    EXPECT_EQ(name.substr(0, 22), u"TLXDownloadV3::http://");
}

TEST(ServerHosts, ValidOverridesReplaceTheBuiltInHost) {
    EXPECT_EQ(ServerHostFrom(ServerKind::kPatch, nullptr), kBuildPatchServer);
    EXPECT_EQ(ServerHostFrom(ServerKind::kCdn, ""), kBuildCdnServer);
    EXPECT_EQ(ServerHostFrom(ServerKind::kUpdate, "127.0.0.1:8081"), "127.0.0.1:8081");
    EXPECT_EQ(ServerHostFrom(ServerKind::kPatch, "mirror.example"), "mirror.example");
    for (const char* bad :
         {"h:0", "h:65536", "h:", ":80", "h/evil", "h:80/x", "a b", "h@x", "h:8a"})
        EXPECT_EQ(ServerHostFrom(ServerKind::kPatch, bad), kBuildPatchServer) << bad;
}

TEST(ServerHosts, UrlsUseTheEnvironmentAtTheTimeOfAsking) {
    ScopedEnv patch("TLX_PATCH_SERVER", "127.0.0.1:9");
    ScopedEnv cdn("TLX_CDN_SERVER", "cdn.test");
    EXPECT_EQ(DefaultFileListUrl(), u"http://127.0.0.1:9/download/zk4/tlxdownload/filelist.txt");
    EXPECT_EQ(DefaultPublisherBannerUrl(),
              u"http://127.0.0.1:9/download/zk4/tlxdownload/ZK4_TW.gif");
    EXPECT_EQ(CdnBannerUrl(u"joltwave", u"joltwave_zorakine4"),
              u"http://cdn.test/norvex/tlxdownload/banner/joltwave/joltwave_zorakine4.gif");
}

TEST(ResumePrompt, ClosingKeepsContinuingButHonoursTheBox) {
    CResumeDlg closed;
    EXPECT_TRUE(closed.InitialApplyToAllChecked());
    closed.OnClose(0);
    EXPECT_TRUE(closed.Continue());
    EXPECT_FALSE(closed.ApplyToAll());
}
