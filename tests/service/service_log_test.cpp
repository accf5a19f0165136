#include "service/base/service_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <regex>

#include "platform/files.h"
#include "tests/support/data_home.h"

namespace {

// Points the service's data folder at a fresh folder for each test.
class ServiceLogTest : public testing::Test {
protected:
    std::string LogText() {
        std::string text;
        plat::ReadWholeFile(GetServiceLogPath(), &text);
        return text;
    }

    ScopedDataHome appData_;
};

}  // namespace

TEST_F(ServiceLogTest, PathIsBelowTheApplicationDataFolder) {
    EXPECT_EQ(GetServiceLogPath(), appData_.Path() + "Norvex/tlxDownloadV32/config/service.log");
}

TEST_F(ServiceLogTest, RecordIsTimeStampMessageAndCrLf) {
    ResetServiceLog();
    WriteServiceLog("[OstrelLib] Initialize");
    std::regex record(
        R"(^\[[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}\] )"
        R"(\[OstrelLib\] Initialize\r\n$)");
    EXPECT_TRUE(std::regex_match(LogText(), record)) << LogText();
}

TEST_F(ServiceLogTest, ControlCharactersCannotForgeALine) {
    ResetServiceLog();
    // A name from an archive or a server, as a log line would carry it.
    WriteServiceLogFormat("[OstrelLib] Entry %s", "a\r\n[Thu Dec 10 15:22:35 2026] [OstrelLib] Patch Success\x1b");
    WriteServiceLog("line\n");
    const std::string text = LogText();
    EXPECT_NE(text.find("] [OstrelLib] Entry a\\x0D\\x0A[Thu Dec 10 15:22:35 2026] [OstrelLib] "
                        "Patch Success\\x1B\r\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.substr(text.size() - 10), "line\\x0A\r\n");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
}

TEST_F(ServiceLogTest, FormattedMessagesUpToTheLocalBufferAndBeyondAreLoggedWhole) {
    ResetServiceLog();
    int heapBefore = ServiceLogHeapFormatsForTesting();
    std::string fits(511, 'a');
    std::string spills(512, 'b');
    WriteServiceLogFormat("%s", fits.c_str());
    EXPECT_EQ(ServiceLogHeapFormatsForTesting(), heapBefore);
    WriteServiceLogFormat("%s", spills.c_str());
    EXPECT_EQ(ServiceLogHeapFormatsForTesting(), heapBefore + 1);
    std::string text = LogText();
    EXPECT_NE(text.find("] " + fits + "\r\n"), std::string::npos);
    EXPECT_NE(text.find("] " + spills + "\r\n"), std::string::npos);
}

TEST_F(ServiceLogTest, NothingIsWrittenUntilAResetCreatedTheFolders) {
    WriteServiceLog("lost");
    EXPECT_FALSE(plat::PathExists(GetServiceLogPath()));
    ResetServiceLog();
    WriteServiceLog("kept");
    EXPECT_NE(LogText().find("kept"), std::string::npos);
}

TEST_F(ServiceLogTest, TwoResetsInARowLeaveAnEmptyFile) {
    ResetServiceLog();
    WriteServiceLog("old run");
    ResetServiceLog();
    ResetServiceLog();
    EXPECT_TRUE(plat::PathExists(GetServiceLogPath()));
    EXPECT_EQ(LogText(), "");
}
