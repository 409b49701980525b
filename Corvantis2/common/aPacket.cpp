#include "Corvantis2/common/aPacket.h"

#include <cstring>
#include <new>

namespace {

// Commands whose data bytes follow their own rules rather than the UEI layout.
constexpr uint8_t kNonUEICommands[] = {
    0, 1, 2, 4, 8, 9, 23, 24, 73, 94, cmdUPGRADE, cmdADDRESSQUERY, cmdFORCEROUTE};

void sClear(aPacket* packet) {
  packet->byteCount = 0;
  packet->address = 0;
  packet->dataSize = 0;
  std::memset(packet->data, 0, sizeof packet->data);
}

aErr sDataByte(const aPacket* packet, uint8_t position, uint8_t mask, uint8_t* out) {
  if (!out) return aErrParam;
  if (!aPacket_IsValid(packet) || packet->dataSize <= position) return aErrPacket;
  *out = packet->data[position] & mask;
  return aErrNone;
}

}  // namespace

bool aPacket_IsValid(const aPacket* packet) { return packet && packet->check == aPACKET_CHECK; }

aPacket* aPacket_Create() {
  auto* packet = new (std::nothrow) aPacket;
  if (!packet) return nullptr;
  sClear(packet);
  packet->check = aPACKET_CHECK;
  return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* bytes) {
  if (!bytes || length > aPACKET_MAX_DATA) return nullptr;
  aPacket* packet = aPacket_Create();
  if (!packet) return nullptr;
  packet->address = address;
  packet->dataSize = length;
  packet->byteCount = static_cast<uint8_t>(length + 2);
  std::memcpy(packet->data, bytes, length);
  return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
  if (!aPacket_IsValid(packet)) return nullptr;
  aPacket* copy = aPacket_Create();
  if (!copy) return nullptr;
  *copy = *packet;
  return copy;
}

aErr aPacket_Reset(aPacket* packet) {
  if (!aPacket_IsValid(packet)) return aErrParam;
  sClear(packet);
  return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
  if (!aPacket_IsValid(packet)) return aErrParam;
  packet->byteCount++;
  if (packet->byteCount > aPACKET_MAX_WIRE) return aErrOverrun;
  if (packet->address == 0) {
    if (byte == 0) return aErrPacket;
    packet->address = byte;
    return aErrNone;
  }
  if (packet->dataSize == 0) {
    packet->dataSize = byte;
    return byte > aPACKET_MAX_DATA ? aErrPacket : aErrNone;
  }
  // dataSize may hold a rejected length above 28: the bound below keeps the
  // store inside data[] either way.
  if (packet->byteCount > packet->dataSize + 2 || packet->byteCount - 3 >= aPACKET_MAX_DATA)
    return aErrPacket;
  packet->data[packet->byteCount - 3] = byte;
  return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
  return aPacket_IsValid(packet) && packet->dataSize <= aPACKET_MAX_DATA &&
         packet->byteCount == packet->dataSize + 2;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* written) {
  if (!aPacket_IsValid(packet) || !buffer) return aErrParam;
  if (packet->dataSize > aPACKET_MAX_DATA) return aErrPacket;
  const size_t length = packet->dataSize + 2u;
  if (size < length) return aErrOverrun;
  buffer[0] = packet->address;
  buffer[1] = packet->dataSize;
  std::memcpy(buffer + 2, packet->data, packet->dataSize);
  if (written) *written = length;
  return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command) { return sDataByte(packet, 0, 0xFF, command); }

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) { return sDataByte(packet, 1, 0x3F, option); }

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) { return sDataByte(packet, 2, 0x1F, index); }

aErr aPacket_Destroy(aPacket** packet) {
  if (!packet || !*packet) return aErrParam;
  (*packet)->check = 0;
  delete *packet;
  *packet = nullptr;
  return aErrNone;
}

void aUEI_StoreShort(uint8_t* buffer, uint16_t value) {
  buffer[0] = static_cast<uint8_t>(value >> 8);
  buffer[1] = static_cast<uint8_t>(value);
}

void aUEI_StoreInt(uint8_t* buffer, uint32_t value) {
  buffer[0] = static_cast<uint8_t>(value >> 24);
  buffer[1] = static_cast<uint8_t>(value >> 16);
  buffer[2] = static_cast<uint8_t>(value >> 8);
  buffer[3] = static_cast<uint8_t>(value);
}

uint16_t aUEI_RetrieveShort(const uint8_t* buffer) {
  return static_cast<uint16_t>(buffer[0] << 8 | buffer[1]);
}

uint32_t aUEI_RetrieveInt(const uint8_t* buffer) {
  return uint32_t{buffer[0]} << 24 | uint32_t{buffer[1]} << 16 | uint32_t{buffer[2]} << 8 |
         uint32_t{buffer[3]};
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t count) {
  if (!words) return;
  for (size_t i = 0; i < count; ++i) {
    uint8_t bytes[4];
    std::memcpy(bytes, &words[i], 4);
    words[i] = aUEI_RetrieveInt(bytes);
  }
}

namespace {

// The sequence byte is the last data byte; an empty packet has none.
uint8_t sSequenceByte(const aPacket* packet) {
  if (!aPacket_IsValid(packet) || packet->dataSize == 0 || packet->dataSize > aPACKET_MAX_DATA) return 0;
  return packet->data[packet->dataSize - 1];
}

}  // namespace

uint8_t aUEI_getBytesSequence(const aPacket* packet) { return sSequenceByte(packet) & 0x7F; }

uint8_t aUEI_getBytesContinue(const aPacket* packet) { return sSequenceByte(packet) >> 7; }

bool aUEI_getBytesFullPacket(const aPacket* packet) {
  return packet && (packet->dataSize == 27 || packet->dataSize == 28);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
  if (!packet) return false;
  for (uint8_t command : kNonUEICommands)
    if (packet->data[0] == command) return true;
  return false;
}

bool aUEI_isUEIPayload(const aPacket* packet) { return !aUEI_isNotUEIPayload(packet); }

bool aUEI_isStreamPacket(const aPacket* packet) {
  return packet && packet->dataSize > 4 && aUEI_isUEIPayload(packet) && (packet->data[1] & 0xC0) == 0 &&
         (packet->data[2] & 0x40) != 0;
}
