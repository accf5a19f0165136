// The engine and the service keep their transfer numbers apart (they share
// no code), but a job must behave alike by either path: the same attempts,
// redirect cap, receive caps, stall floor and probes at once.
#include <gtest/gtest.h>

#include "transfer_policy.h"  // the engine's
#include "transfers/transfer_policy.h"

TEST(TransferPolicy, TheEngineRunsByTheServicesNumbers) {
    namespace service = ::transfer_policy;
    namespace engine = ::engine::transfer_policy;
    EXPECT_EQ(engine::kAttemptsPerAddress, service::kAttemptsPerAddress);
    EXPECT_EQ(engine::kMaxRedirects, service::kMaxRedirects);
    EXPECT_EQ(engine::kFastBytesPerSecond, service::kFastBytesPerSecond);
    EXPECT_EQ(engine::kNormalBytesPerSecond, service::kNormalBytesPerSecond);
    EXPECT_EQ(engine::kLowSpeedBytes, service::kLowSpeedBytes);
    EXPECT_EQ(engine::kLowSpeedSeconds, service::kLowSpeedSeconds);
    EXPECT_EQ(engine::kParallelSizeProbes, static_cast<std::size_t>(service::kParallelSizeProbes));
}
