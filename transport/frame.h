// The message frame of the service's own protocols (the report channel and
// the local engine link):
//
//   offset 0   2 bytes  message type
//   offset 2   2 bytes  message subtype
//   offset 4   6 bytes  zero
//   offset 10  4 bytes  payload length
//   offset 14           payload
//
// All integers are little-endian whatever the host. The sender pads the
// payload with zero bytes so that the whole frame is a multiple of 8 bytes,
// and the padding counts in the payload length: a receiver cannot tell
// padding from payload and hands both to its handler.
//
// Plain functions without state; any thread may call them.
#pragma once

#include <cstdint>
#include <vector>

#include "service/base/status_codes.h"

inline constexpr std::uint32_t kFrameHeaderSize = 14;
inline constexpr std::uint32_t kFrameAlignment = 8;
// The largest payload length (padding included) a header may carry, on
// sending and on receiving. The service's messages are a few kilobytes at
// most; a header announcing more is corrupt or hostile, and waiting for it
// would let one bad header keep a connection's receive buffer growing.
inline constexpr std::uint32_t kFrameMaxPayload = 16u * 1024 * 1024;

struct nwFrameHeader {
    std::uint16_t type = 0;
    std::uint16_t subtype = 0;
    std::uint32_t payloadLength = 0;  // padding included
};

// Reads the header from the first kFrameHeaderSize bytes of `data`. The six
// reserved bytes are not checked: a peer that fills them is still understood.
nwFrameHeader nwReadFrameHeader(const void* data);
// Writes the header into the first kFrameHeaderSize bytes of `out`, with the
// reserved bytes zero.
void nwWriteFrameHeader(const nwFrameHeader& header, void* out);

// The size of a whole frame carrying `payloadLength` bytes before padding:
// header plus payload rounded up to the alignment. 64 bits, so that no
// 32-bit length can wrap.
std::uint64_t nwPaddedFrameSize(std::uint32_t payloadLength);

// Builds a complete frame into *frame: header, a copy of the payload and the
// zero padding, with the padded payload length in the header. kLayerFail
// (and *frame untouched) when the padded payload would exceed
// kFrameMaxPayload, or when the payload is null with a non-zero length.
vzStatus nwBuildFrame(std::uint16_t type, std::uint16_t subtype, const void* payload,
                      std::uint32_t payloadLength, std::vector<std::uint8_t>* frame);
