// The UEI record: one request or reply of the entity scheme, as the device
// API passes it around. Its bytes on the wire (UEI payload of a packet):
//
//   command, option (0x40 get, 0x80 set, 0xC0 set acknowledged),
//   index (0x20 host request, 0x40 stream value, 0x80 error reply),
//   value: none, 1, 2 or 4 bytes big-endian, or a byte sequence of packets
//   carrying up to 24 bytes each followed by a sequence byte
//   (0x80: more follow; bits 6-0: packet number modulo 128).
#pragma once

#include <cstddef>
#include <cstdint>

#include "Corvantis2/common/aError.h"
#include "Corvantis2/common/aPacket.h"

namespace Vorantix::Corvantis {

enum ueiType : int32_t {
  typeVoid = 0,
  typeByte = 1,
  typeShort = 2,
  typeInt = 4,
  typeBytes = 5,
};

inline constexpr uint8_t kUEI_GET = 0x40;
inline constexpr uint8_t kUEI_SET = 0x80;
inline constexpr uint8_t kUEI_ACK = 0xC0;
inline constexpr uint8_t kUEI_REQUEST = 0x20;
inline constexpr uint8_t kUEI_STREAM = 0x40;
inline constexpr uint8_t kUEI_ERROR = 0x80;
inline constexpr uint8_t kUEI_OPTION_MASK = 0x3F;
inline constexpr uint8_t kUEI_INDEX_MASK = 0x1F;
inline constexpr size_t kUEI_BYTES_PER_PACKET = 24;
inline constexpr uint8_t kUEI_MORE = 0x80;
inline constexpr uint8_t kUEI_SEQUENCE_MASK = 0x7F;

struct uei {
  uint8_t module;
  uint8_t command;
  uint8_t option;
  uint8_t index;
  union {
    uint8_t byteValue;
    uint16_t shortValue;
    uint32_t intValue;
    struct {
      uint8_t* data;     // bytes to send, or where received bytes go
      uint8_t sequence;  // sequence number expected next when receiving
      bool more;         // continuation flag of the last packet received
      size_t length;     // bytes to send, or capacity of the receive buffer
      size_t* received;  // accumulates the bytes received
    };
  } value;
  ueiType type;
};

// Data bytes of one UEI request or reply. Refuses (aErrParam) a type that has
// no single-packet encoding; with a subindex, the subindex byte follows the
// index byte.
struct UeiPayload {
  uint8_t bytes[aPACKET_MAX_DATA];
  uint8_t length;
};
aErr aUEI_EncodeScalar(const uei& request, UeiPayload* out);
aErr aUEI_EncodeScalarWithSubindex(const uei& request, uint8_t subindex, UeiPayload* out);
// Packet number n of a byte sequence of total bytes (n from 0); false past
// the last packet. A sequence of 0 bytes is one packet with no value bytes.
bool aUEI_EncodeBytesPacket(const uei& request, size_t n, UeiPayload* out);

}  // namespace Vorantix::Corvantis
