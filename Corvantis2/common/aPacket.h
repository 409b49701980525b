// Device packets and the UEI payloads they carry.
//
// Wire form of one packet: address byte, length byte (0 to 28), then that
// many data bytes; at most 30 bytes and no framing of its own. A device
// always sends from an even, non-zero address; the host also sends the link
// commands 0xAD (address query, length 0) and 0xAF (force route, length 1).
//
// UEI payload: command, option (bits 5-0 code, 0x40 get, 0x80 set), index
// (bits 4-0 index, 0x20 host request, 0x40 stream value, 0x80 error reply),
// then a big-endian value of 0, 1, 2 or 4 bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Corvantis2/common/aError.h"

inline constexpr uint16_t aPACKET_CHECK = 0xBEEF;
inline constexpr uint8_t aPACKET_MAX_DATA = 28;
inline constexpr uint8_t aPACKET_MAX_WIRE = aPACKET_MAX_DATA + 2;

inline constexpr uint8_t cmdADDRESSQUERY = 0xAD;
inline constexpr uint8_t cmdFORCEROUTE = 0xAF;
inline constexpr uint8_t cmdHEARTBEAT = 0;
inline constexpr uint8_t cmdUPGRADE = 95;

// Heap-held; created by aPacket_Create* and released by aPacket_Destroy.
struct aPacket {
  uint16_t check;
  uint8_t byteCount;  // wire bytes accepted so far, address and length included
  uint8_t address;    // 0 until the first wire byte is seen
  uint8_t dataSize;
  uint8_t data[aPACKET_MAX_DATA];
};

aPacket* aPacket_Create();
// A complete packet; null for a null buffer (even with length 0) or length above 28.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* bytes);
aPacket* aPacket_Copy(const aPacket* packet);
aErr aPacket_Reset(aPacket* packet);
// Feeds one received wire byte. On failure the caller resets the packet
// before assembling the next one; test completion after every byte.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
bool aPacket_IsComplete(const aPacket* packet);
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* written);
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);
aErr aPacket_Destroy(aPacket** packet);

// True for a live packet record (check word intact).
bool aPacket_IsValid(const aPacket* packet);

void aUEI_StoreShort(uint8_t* buffer, uint16_t value);
void aUEI_StoreInt(uint8_t* buffer, uint32_t value);
uint16_t aUEI_RetrieveShort(const uint8_t* buffer);
uint32_t aUEI_RetrieveInt(const uint8_t* buffer);
// Rewrites count words in place from big-endian bytes to host integers.
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);
// Byte-sequence transfers: the last data byte holds "more follows" (bit 7)
// and the packet counter (bits 6-0). 0 for a null or empty packet.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
uint8_t aUEI_getBytesContinue(const aPacket* packet);
bool aUEI_getBytesFullPacket(const aPacket* packet);
bool aUEI_isNotUEIPayload(const aPacket* packet);
bool aUEI_isUEIPayload(const aPacket* packet);
bool aUEI_isStreamPacket(const aPacket* packet);
