// Result codes of the service.
//
// The entry points answer with the 512-based service codes below; the same
// numbers serve as event codes and as reasons of job messages. Objects of the
// library answer with 32-bit inner status values: bit 31 set is a failure,
// bit 30 set a success (test with kStatusSuccessMask); bits 20..27 name the
// module and the low 20 bits the specific failure.
#pragma once

#include <cstdint>

// An inner status. The type itself is [[nodiscard]]: every function that
// answers one has its answer looked at, or visibly dropped with a reason
// ("(void)call; // why"). Its values are the 32-bit codes below; other
// codes are made with vzMakeStatus.
enum [[nodiscard]] vzStatus : std::uint32_t{};

inline constexpr vzStatus vzMakeStatus(std::uint32_t code) {
    return static_cast<vzStatus>(code);
}

inline constexpr std::uint32_t kStatusSuccessMask = 0x40000000;
inline constexpr std::uint32_t kStatusDetailMask = 0xFFFFF;
inline constexpr bool vzSucceeded(vzStatus s) {
    return (s & kStatusSuccessMask) != 0;
}
inline constexpr bool vzFailed(vzStatus s) {
    return (s & kStatusSuccessMask) == 0;
}

inline constexpr vzStatus kVzOk = vzMakeStatus(0x40000000);  // AddRef / Release
inline constexpr vzStatus kTransportOk = vzMakeStatus(0x40200000);
inline constexpr vzStatus kLayerOk = vzMakeStatus(0x40300000);
inline constexpr vzStatus kUriOk = vzMakeStatus(0x40600000);
inline constexpr vzStatus kNoInterface = vzMakeStatus(0x80010001);
inline constexpr vzStatus kTransportFail = vzMakeStatus(0x80200000);
inline constexpr vzStatus kSocketCreateFail = vzMakeStatus(0x80210002);  // also: no socket record
inline constexpr vzStatus kNotSocket = vzMakeStatus(0x80220004);
inline constexpr vzStatus kConnRefused = vzMakeStatus(0x80220005);
inline constexpr vzStatus kAlreadyInProgress = vzMakeStatus(0x80220006);
inline constexpr vzStatus kSocketExists = vzMakeStatus(0x80220007);
inline constexpr vzStatus kNoBufferSpace = vzMakeStatus(0x80220008);
inline constexpr vzStatus kBlockingInProgress = vzMakeStatus(0x80220009);
inline constexpr vzStatus kWouldBlock = vzMakeStatus(0x8022000A);
inline constexpr vzStatus kLayerFail = vzMakeStatus(0x80300000);
inline constexpr vzStatus kUriFail = vzMakeStatus(0x80600000);

inline constexpr bool vzIsWouldBlock(vzStatus s) {
    return (s & kStatusDetailMask) == 0x2000A;
}

// Service result codes (entry points, job downloaders). Like vzStatus the
// type is [[nodiscard]], so a result is looked at (or visibly dropped) also
// where it comes through an interface.
enum [[nodiscard]] ServiceResult : int{
    kResultOk = 512,
    kResultBadUrl = 513,
    kResultBadFolder = 514,
    kResultAlreadyAttached = 515,
    kResultNotAttached = 516,
    kResultFailed = 517,
    kResultAlreadyInitialized = 518,
    kResultEngineOffline = 519,
};
