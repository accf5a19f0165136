#include "service/base/service_log.h"

#include <gtest/gtest.h>

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

TEST_F(ServiceLogTest, MessageEndingInNewlineStillGetsCrLf) {
    ResetServiceLog();
    WriteServiceLog("line\n");
    std::string text = LogText();
    EXPECT_EQ(text.substr(text.size() - 7), "line\n\r\n");
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
