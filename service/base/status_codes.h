// Result codes of the service.
//
// The entry points answer with the 512-based service codes below; the same
// numbers serve as event codes and as reasons of job messages. Objects of the
// library answer with 32-bit inner status values: bit 31 set is a failure,
// bit 30 set a success (test with kStatusSuccessMask); bits 20..27 name the
// module and the low 20 bits the specific failure.
#pragma once

#include <cstdint>

using vzStatus = std::uint32_t;

inline constexpr vzStatus kStatusSuccessMask = 0x40000000;
inline constexpr vzStatus kStatusDetailMask = 0xFFFFF;
inline constexpr bool vzSucceeded(vzStatus s) { return (s & kStatusSuccessMask) != 0; }
inline constexpr bool vzFailed(vzStatus s) { return (s & kStatusSuccessMask) == 0; }

inline constexpr vzStatus kVzOk = 0x40000000;            // AddRef / Release
inline constexpr vzStatus kTransportOk = 0x40200000;
inline constexpr vzStatus kLayerOk = 0x40300000;
inline constexpr vzStatus kUriOk = 0x40600000;
inline constexpr vzStatus kNoInterface = 0x80010001;
inline constexpr vzStatus kTransportFail = 0x80200000;
inline constexpr vzStatus kSocketCreateFail = 0x80210002;  // also: no socket record
inline constexpr vzStatus kNotSocket = 0x80220004;
inline constexpr vzStatus kConnRefused = 0x80220005;
inline constexpr vzStatus kAlreadyInProgress = 0x80220006;
inline constexpr vzStatus kSocketExists = 0x80220007;
inline constexpr vzStatus kNoBufferSpace = 0x80220008;
inline constexpr vzStatus kBlockingInProgress = 0x80220009;
inline constexpr vzStatus kWouldBlock = 0x8022000A;
inline constexpr vzStatus kLayerFail = 0x80300000;
inline constexpr vzStatus kUriFail = 0x80600000;

inline constexpr bool vzIsWouldBlock(vzStatus s) { return (s & kStatusDetailMask) == 0x2000A; }

// Service result codes (entry points, job downloaders).
inline constexpr int kResultOk = 512;
inline constexpr int kResultBadUrl = 513;
inline constexpr int kResultBadFolder = 514;
inline constexpr int kResultAlreadyAttached = 515;
inline constexpr int kResultNotAttached = 516;
inline constexpr int kResultFailed = 517;
inline constexpr int kResultAlreadyInitialized = 518;
inline constexpr int kResultEngineOffline = 519;
