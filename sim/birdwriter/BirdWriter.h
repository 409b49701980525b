// Builds and reads BIRD firmware files for tests, stand-ins and packagers.
//
// File:    "bird" | version (u16 BE) | zlib stream of the payload
// Payload: block count (u32 BE) | blocks | checksum (u32 BE)
// Block:   type | flags << 5 (1 byte) | length L (u32 BE) | L data bytes
//
// The trailing checksum is the CRC-32 (zlib's crc32, the ISO-HDLC polynomial)
// of every payload byte before it: the block count and all blocks. Readers of
// the product never check it; `birdtool dump` does.
//
// This reader is written apart from the product's BirdFile on purpose, so
// that a misreading of the layout cannot hide on both sides.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace birdwriter {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kTypeLoader = 0;
inline constexpr uint8_t kTypeFirmware = 1;
inline constexpr uint8_t kTypeSerialOffsets = 2;
inline constexpr uint8_t kTypeDescriptor = 4;
inline constexpr uint8_t kTypeLoaderStart = 5;
inline constexpr uint16_t kCurrentVersion = 0x0101;
inline constexpr size_t kDescriptorSize = 64;
inline constexpr size_t kDescriptorFieldSize = 16;

struct Descriptor {
  uint32_t build = 0;
  std::string version;  // at most 15 characters, no spaces
  uint32_t serial = 0;  // written as 8 upper-case hexadecimal digits
  std::string model;    // at most 16 characters
};

struct Block {
  uint8_t type = 0;   // 0..31
  uint8_t flags = 0;  // 0..7
  Bytes data;
};

void PutU32(Bytes& out, uint32_t value);
void PutU16(Bytes& out, uint16_t value);
uint32_t GetU32(const uint8_t* bytes);

// Collects blocks in file order and renders the payload and the file.
class Writer {
 public:
  // Image blocks: the address, then the image bytes.
  Writer& AddLoader(uint32_t address, const Bytes& image, uint8_t flags = 0);
  Writer& AddFirmware(uint32_t address, const Bytes& image, uint8_t flags = 0);
  Writer& AddSerialOffsets(uint32_t serialAddress, uint32_t descriptorAddress);
  // Throws std::invalid_argument when a field does not fit its 16 bytes.
  Writer& AddDescriptor(const Descriptor& descriptor);
  Writer& AddLoaderStart(uint32_t address);
  // Any block, verbatim (test files with odd types or short blocks).
  Writer& AddRaw(uint8_t type, uint8_t flags, const Bytes& data);

  // Test knobs: a block count other than the real one, a fixed checksum.
  Writer& ReportBlockCount(uint32_t count);
  Writer& UseChecksum(uint32_t checksum);

  const std::vector<Block>& Blocks() const { return blocks_; }
  Bytes Payload() const;
  // Header plus the payload compressed at the given zlib level.
  Bytes File(uint16_t version = kCurrentVersion, int level = 9) const;

 private:
  std::vector<Block> blocks_;
  std::optional<uint32_t> reportedCount_;
  std::optional<uint32_t> checksum_;
};

Bytes DescriptorBytes(const Descriptor& descriptor);
uint32_t PayloadChecksum(const uint8_t* payload, size_t lengthBeforeChecksum);
// "bird", the version, then `compressed` verbatim.
Bytes FileFromCompressed(const Bytes& compressed, uint16_t version = kCurrentVersion);
Bytes Compress(const Bytes& payload, int level = 9);

// A parsed file, for dumping and cross-checks. Every length is checked
// against the bytes present; problems are collected in `errors`.
struct Parsed {
  uint32_t signature = 0;
  uint16_t version = 0;
  size_t compressedSize = 0;
  Bytes payload;
  uint32_t reportedCount = 0;
  std::vector<Block> blocks;
  std::optional<uint32_t> storedChecksum;
  uint32_t computedChecksum = 0;
  std::vector<std::string> errors;
};

// Inflates without a size limit guess: the stream decides.
std::optional<Parsed> Parse(const Bytes& file, std::string* error);

bool ReadFile(const std::string& path, Bytes& out, std::string* error);
// Written to a temporary file next to `path`, then renamed over it.
bool WriteFile(const std::string& path, const Bytes& bytes, std::string* error);

}  // namespace birdwriter
