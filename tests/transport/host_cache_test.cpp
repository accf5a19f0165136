#include "transport/host_cache.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "platform/kernel.h"
#include "platform/resolver.h"
#include "platform/sockets.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::uint32_t Ip(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return plat::HostToNet32(a << 24 | b << 16 | c << 8 | d);
}
const std::uint32_t kA = Ip(10, 0, 0, 1);
const std::uint32_t kB = Ip(10, 0, 0, 2);
const std::uint32_t kC = Ip(10, 0, 0, 3);
const std::uint32_t kD = Ip(10, 0, 0, 4);
constexpr std::int64_t kStart = 1'700'000'000;

// Puts the calendar clock 100 ms into second `seconds`, so the whole second
// reads the same for the next 900 ms whatever the real clock's phase.
void PinClock(std::int64_t seconds) {
    plat::SetCalendarOffsetForTesting(0);
    plat::CalendarTime real = plat::CalendarNow();
    plat::SetCalendarOffsetForTesting(seconds * 1000 + 100 - (real.seconds * 1000 + real.millis));
}

class HostCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        cpHostCache().ClearForTesting();
        PinClock(kStart);
        plat::SetResolverForTesting([this](const std::string& host) {
            ++calls_[host];
            if (slowTo_ != 0) PinClock(slowTo_);
            return answers_[host];
        });
    }
    void TearDown() override {
        plat::SetResolverForTesting(nullptr);
        plat::SetCalendarOffsetForTesting(0);
        cpHostCache().ClearForTesting();
    }

    // The looked-up address, 0 when Lookup failed (which must clear it).
    std::uint32_t Lookup(const std::string& host = "h", std::uint16_t port = 80) {
        std::uint32_t address = 0xDEADBEEF;
        bool found = cpHostCache().Lookup(host, port, &address);
        EXPECT_EQ(found, address != 0);
        return address;
    }
    std::vector<std::uint32_t> Order(const std::string& host = "h", std::uint16_t port = 80) {
        std::vector<std::uint32_t> order;
        const cpHostCacheEntry* entry = cpHostCache().Find(host, port);
        if (entry != nullptr) {
            for (const cpHostAddressRecord& r : entry->addresses) order.push_back(r.addressNet);
        }
        return order;
    }

    std::map<std::string, std::vector<std::uint32_t>> answers_;
    std::map<std::string, int> calls_;
    std::int64_t slowTo_ = 0;  // the clock a resolution ends at; 0 instant
};

TEST_F(HostCacheTest, WithoutGoodAddressResolvesAgainOnlyAfterFiveSeconds) {
    EXPECT_EQ(Lookup(), 0u);
    answers_["h"] = {kA, kB};
    PinClock(kStart + 4);
    EXPECT_EQ(Lookup(), 0u);
    EXPECT_EQ(calls_["h"], 1);
    PinClock(kStart + 5);
    EXPECT_EQ(Lookup(), kA);
    EXPECT_EQ(calls_["h"], 2);
}

TEST_F(HostCacheTest, GoodAddressIsUsedWithoutResolvingUntilItFails) {
    answers_["h"] = {kA, kB};
    Lookup();
    cpHostCache().MarkGood("h", 80, kB);
    PinClock(kStart + 60);
    EXPECT_EQ(Lookup(), kB);
    EXPECT_EQ(calls_["h"], 1);
    cpHostCache().MarkBad("h", 80, kB);
    EXPECT_EQ(Lookup(), kA);
    EXPECT_EQ(calls_["h"], 2);
}

// Ports 80 and 81 of one host fail alike; they are resolved again 30 and 31
// seconds after the failure.
TEST_F(HostCacheTest, FailureKeepsAddressBehindFreshOnesForThirtySeconds) {
    answers_["h"] = {kA, kB};
    Lookup("h", 80);
    Lookup("h", 81);
    cpHostCache().MarkBad("h", 80, kA);
    cpHostCache().MarkBad("h", 81, kA);
    EXPECT_EQ(Lookup("h", 80), kB);
    PinClock(kStart + 30);
    EXPECT_EQ(Lookup("h", 80), kB);
    EXPECT_THAT(Order("h", 80), ElementsAre(kB, kA));
    PinClock(kStart + 31);
    EXPECT_EQ(Lookup("h", 81), kA);
    EXPECT_THAT(Order("h", 81), ElementsAre(kA, kB));
    EXPECT_EQ(calls_["h"], 4);
}

TEST_F(HostCacheTest, ResolutionKeepsFailedAddressInPlaceAndDropsUnmarkedOnes) {
    answers_["h"] = {kA, kB};
    Lookup();
    cpHostCache().MarkBad("h", 80, kB);
    answers_["h"] = {kC, kB, kD};
    PinClock(kStart + 5);
    EXPECT_EQ(Lookup(), kC);
    EXPECT_THAT(Order(), ElementsAre(kC, kD, kB));
}

TEST_F(HostCacheTest, UnresolvableHostFallsBackOnRecentlyFailedAddresses) {
    answers_["h"] = {kA, kB};
    Lookup();
    cpHostCache().MarkBad("h", 80, kA);
    cpHostCache().MarkBad("h", 80, kB);
    answers_["h"] = {};
    PinClock(kStart + 5);
    EXPECT_EQ(Lookup(), kA);
    PinClock(kStart + 40);
    EXPECT_EQ(Lookup(), 0u);
    EXPECT_EQ(calls_["h"], 3);
}

TEST_F(HostCacheTest, MarksOnUnknownHostsPortsOrAddressesChangeNothing) {
    cpHostCache().MarkGood("h", 80, kA);
    EXPECT_EQ(cpHostCache().EntryCount(), 0u);
    answers_["h"] = {kA, kB};
    Lookup();
    cpHostCache().MarkBad("h", 80, kC);
    cpHostCache().MarkGood("h", 81, kB);
    EXPECT_THAT(Order(), ElementsAre(kA, kB));
    EXPECT_EQ(cpHostCache().Find("h", 81), nullptr);
}

// The resolver answers 10 s after it was asked; the clock is then set back
// an hour.
TEST_F(HostCacheTest, IntervalRunsFromTheResolversAnswerAndSurvivesClockSetBack) {
    slowTo_ = kStart + 10;
    Lookup();
    slowTo_ = 0;
    PinClock(kStart + 14);
    Lookup();
    EXPECT_EQ(calls_["h"], 1);
    answers_["h"] = {kA};
    PinClock(kStart - 3600);
    EXPECT_EQ(Lookup(), kA);
}

class ResolverTest : public ::testing::Test {
protected:
    void TearDown() override {
        plat::SetResolverForTesting(nullptr);
        plat::ClearHostOverridesForTesting();
    }
};

TEST_F(ResolverTest, LiteralsAndOverridesComeBeforeTheReplacement) {
    int calls = 0;
    plat::SetResolverForTesting([&](const std::string&) {
        ++calls;
        return std::vector<std::uint32_t>{kB, kA, kB};
    });
    plat::SetHostOverrideForTesting("Patch.Example", Ip(127, 0, 0, 1));
    EXPECT_THAT(plat::ResolveIPv4("10.0.0.3"), ElementsAre(kC));
    EXPECT_THAT(plat::ResolveIPv4("PATCH.example"), ElementsAre(Ip(127, 0, 0, 1)));
    EXPECT_EQ(calls, 0);
    plat::ClearHostOverridesForTesting();
    EXPECT_THAT(plat::ResolveIPv4("patch.example"), ElementsAre(kB, kA));
}

TEST_F(ResolverTest, NullReplacementRestoresTheSystemResolver) {
    plat::SetResolverForTesting([](const std::string&) { return std::vector<std::uint32_t>{}; });
    EXPECT_THAT(plat::ResolveIPv4("localhost"), IsEmpty());
    plat::SetResolverForTesting(nullptr);
    EXPECT_THAT(plat::ResolveIPv4("localhost"), Contains(Ip(127, 0, 0, 1)));
}

}  // namespace
