// A BIRD firmware file, read whole and decompressed into memory.
//
// File:    "bird" (4) | format version (2, BE) | zlib stream of the payload
// Payload: block count N (4, BE) | N blocks back to back | checksum (4, BE)
// Block:   type (bits 0-4) and flags (bits 5-7) (1) | length L (4, BE) | L data bytes
//
// Loader and firmware blocks start their data with the image's load address
// (4, BE). Nothing here trusts a length or an address from the file: every
// read and every edit is checked against the bytes actually there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class PayloadInflater;

inline constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264;  // "bird"
inline constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
inline constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
inline constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;

enum BLOCK_TYPE : uint8_t {
  BLOCK_TYPE_LOADER = 0,
  BLOCK_TYPE_FIRMWARE = 1,
  BLOCK_TYPE_SERIAL_OFFSETS = 2,
  BLOCK_TYPE_DESCRIPTOR = 4,
  BLOCK_TYPE_LOADER_START = 5,
};

// Used when a file has no usable loader-start block.
inline constexpr uint32_t BIRD_DEFAULT_LOADER_START = 0x20000400;

uint32_t GetInt(const uint8_t* bytes);
uint16_t GetShort(const uint8_t* bytes);

// One entry of a file's block list. `data` points into the owning BirdFile's
// payload and is valid as long as that BirdFile lives (moves included).
struct BirdBlock {
  uint8_t type = 0;
  uint8_t flags = 0;     // 0-7, handed to the device's loader
  uint32_t length = 0;   // data bytes
  uint32_t address = 0;  // loader and firmware blocks: first 4 data bytes; else 0
  uint8_t* data = nullptr;
};

class BirdFile {
 public:
  BirdFile() = default;
  // Loads the file; throws std::runtime_error("Failed to load bird data").
  explicit BirdFile(const std::string& path);

  BirdFile(BirdFile&&) noexcept = default;
  BirdFile& operator=(BirdFile&&) noexcept = default;
  BirdFile(const BirdFile&) = delete;
  BirdFile& operator=(const BirdFile&) = delete;

  bool Load();
  // True when the first six bytes form a valid header.
  static bool VerifyFile(const std::string& path);

  std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;

  // Descriptor fields; 0 or "" when the file has no 64-byte descriptor.
  uint32_t GetBuild() const;
  std::string GetVersion() const;
  uint32_t GetSerialNumber() const;
  bool ValidateSerialNumber(uint32_t serial) const;
  // Prefix match of the descriptor's model (trailing spaces removed).
  bool ValidateModel(const std::string& model) const;

  bool FindSerialNumberOffsets();
  // Writes the serial number into every firmware image covering the
  // addresses; true only when each non-zero address was written somewhere.
  bool ReplaceSerialNumber(uint32_t serial);
  // Unscrambles the firmware images in place with a device key.
  bool DecodeFirmwareBlocks(uint32_t key0, uint32_t key1, uint32_t key2, uint32_t key3);

  bool ScanBlocks(uint8_t* payload, uint32_t payloadSize);
  bool DecompressData(const uint8_t* compressed, size_t compressedSize);

  bool DumpBlocks(BLOCK_TYPE type) const;
  bool ValidateData(const uint8_t* pattern, size_t length) const;
  bool ReplaceVectorChecksum();

  // The first loader-start block's address, or BIRD_DEFAULT_LOADER_START.
  uint32_t GetLoaderStart() const;

  std::string path;
  uint32_t signature = 0;
  uint32_t version = 0;
  uint32_t checksum = 0;
  uint32_t blockCount = 0;
  std::vector<BirdBlock> blocks;
  bool hasSerialOffsets = false;
  uint32_t serialNumberAddress = 0;
  uint32_t descriptorAddress = 0;
  uint32_t payloadSize = 0;

 private:
  struct FreeDeleter {
    void operator()(uint8_t* p) const;
  };
  // The first block of the type with at least minLength data bytes, when the
  // first block of that type is that long; else null.
  const BirdBlock* FirstBlock(BLOCK_TYPE type, uint32_t minLength) const;
  const uint8_t* Descriptor() const;
  // Takes the inflated payload, or logs the zlib code and fails.
  bool FinishInflate(PayloadInflater& inflater, int rc);

  std::unique_ptr<uint8_t, FreeDeleter> payload;
};
