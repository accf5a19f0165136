// The cursor's bookkeeping on its own: alternatives, attempts, redirects.
#include "transfers/http_exchange_cursor.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "service/base/service_log.h"
#include "tests/support/data_home.h"
#include "tests/support/service_fixture.h"

TEST(HttpExchangeCursor, EveryRequestIsAnAttemptAndAlternativesFollowInTurn) {
    CHttpExchangeCursor cursor(ExchangeLimits{2, 20});
    cursor.Reset(" http://a/f.bin | |http://b/f.bin ");
    ASSERT_EQ(cursor.Alternatives().size(), 2u);
    std::vector<std::string> asked;
    while (cursor.TakeAttempt()) asked.push_back(cursor.Url());
    EXPECT_EQ(asked, (std::vector<std::string>{"http://a/f.bin", "http://a/f.bin", "http://b/f.bin",
                                               "http://b/f.bin"}));
    EXPECT_EQ(cursor.LastUrl(), "http://b/f.bin");
}

TEST(HttpExchangeCursor, ARedirectSpendsAnAttemptAndBelongsToItsAlternative) {
    ScopedDataHome home;
    ResetServiceLog();
    CHttpExchangeCursor cursor(ExchangeLimits{3, 20});
    cursor.Reset("http://a/dir/f.bin|http://b/f.bin");
    ASSERT_TRUE(cursor.TakeAttempt());
    EXPECT_EQ(cursor.OnRedirect(302, "../real/f.bin"), CHttpExchangeCursor::Redirect::kFollow);
    EXPECT_EQ(cursor.Url(), "http://a/real/f.bin");
    ASSERT_TRUE(cursor.TakeAttempt());
    EXPECT_EQ(cursor.Attempts(), 2);
    EXPECT_EQ(cursor.OnRedirect(302, "/dir/f.bin"), CHttpExchangeCursor::Redirect::kFollow);
    ASSERT_TRUE(cursor.TakeAttempt());
    EXPECT_EQ(cursor.OnRedirect(302, "/real/f.bin"), CHttpExchangeCursor::Redirect::kFollow);
    // The loop used up the first mirror; the second starts without its redirect.
    ASSERT_TRUE(cursor.TakeAttempt());
    EXPECT_EQ(cursor.Url(), "http://b/f.bin");
    const auto lines = ServiceLogMessages();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "[OstrelLib] Redirect limit reached : http://a/dir/f.bin"),
              lines.end());
    EXPECT_EQ(cursor.OnRedirect(301, "mailto:x@y"), CHttpExchangeCursor::Redirect::kRefused);
    EXPECT_NE(cursor.LastFailure().find("neither http nor https"), std::string::npos);
}

TEST(HttpExchangeCursor, RedirectsStopAtTheLimit) {
    CHttpExchangeCursor cursor(ExchangeLimits{100, 2});
    cursor.Reset("http://a/x");
    ASSERT_TRUE(cursor.TakeAttempt());
    EXPECT_EQ(cursor.OnRedirect(307, "/y"), CHttpExchangeCursor::Redirect::kFollow);
    EXPECT_EQ(cursor.OnRedirect(308, "/z"), CHttpExchangeCursor::Redirect::kFollow);
    EXPECT_EQ(cursor.OnRedirect(303, "/w"), CHttpExchangeCursor::Redirect::kTooMany);
    EXPECT_EQ(cursor.Url(), "http://a/z");
}
