#include "store/BirdFile.h"

#include <zlib.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "Corvantis2/unix/aFile.h"
#include "app/Log.h"
#include "store/PayloadInflater.h"

namespace {

constexpr size_t kHeaderSize = 6;
constexpr uint32_t kBlockHeaderSize = 5;
constexpr uint32_t kDescriptorSize = 64;
constexpr uint32_t kSerialOffsetsSize = 8;
constexpr uint32_t kAddressSize = 4;
constexpr size_t kReadSlice = 64 * 1024;

bool IsImage(uint8_t type) { return type == BLOCK_TYPE_LOADER || type == BLOCK_TYPE_FIRMWARE; }

// Image bytes of a loader or firmware block (after the address), or 0.
uint32_t ImageLength(const BirdBlock& block) {
  return block.length >= kAddressSize ? block.length - kAddressSize : 0;
}

// True when [address, address + size) lies inside the block's image; the
// offset of its first byte within the block's data goes to *dataOffset.
bool ImageCovers(const BirdBlock& block, uint32_t address, uint32_t size, uint32_t* dataOffset) {
  uint64_t start = block.address;
  uint64_t end = start + ImageLength(block);
  if (address < start || uint64_t{address} + size > end) return false;
  *dataOffset = address - block.address + kAddressSize;
  return true;
}

uint32_t GetLittleInt(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) |
         (uint32_t{bytes[3]} << 24);
}

void PutLittleInt(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Unsigned decimal: leading white space, digits up to the first non-digit,
// saturating at 2^32 - 1.
uint32_t ParseDecimal(const char* text) {
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  uint64_t value = 0;
  for (; std::isdigit(static_cast<unsigned char>(*text)); ++text) {
    value = value * 10 + static_cast<uint64_t>(*text - '0');
    if (value > UINT32_MAX) return UINT32_MAX;
  }
  return static_cast<uint32_t>(value);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

uint32_t GetInt(const uint8_t* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         uint32_t{bytes[3]};
}

uint16_t GetShort(const uint8_t* bytes) { return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]); }

void BirdFile::FreeDeleter::operator()(uint8_t* p) const { std::free(p); }

BirdFile::BirdFile(const std::string& filePath) : path(filePath) {
  if (!Load()) throw std::runtime_error("Failed to load bird data");
}

bool BirdFile::Load() {
  Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
  // A reload must not leave blocks pointing into a payload it replaces.
  blocks.clear();
  blockCount = 0;
  payload.reset();
  payloadSize = 0;
  checksum = 0;
  hasSerialOffsets = false;
  serialNumberAddress = 0;
  descriptorAddress = 0;

  if (!aFile_Exists(path.c_str())) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
    return false;
  }
  aFile* file = aFile_Open(path.c_str(), aFileModeRead);
  if (file == nullptr) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
    return false;
  }
  size_t size = 0;
  aErr err = aFile_GetSize(file, &size);
  if (err != aErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", err, path.c_str());
    aFile_Close(&file);
    return false;
  }

  // The file is inflated as it is read, in slices: the compressed bytes are
  // never all in memory at once, so a load costs little more than its payload.
  bool result = false;
  uint8_t header[kHeaderSize] = {};
  size_t got = 0;
  err = size > 0 ? aFile_Read(file, header, size < kHeaderSize ? size : kHeaderSize, &got) : aErrNone;
  if (err != aErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", err, path.c_str());
  } else if (got < size && got < kHeaderSize) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", path.c_str(),
             got, size);
  } else if (size >= kHeaderSize) {
    if (size > kHeaderSize) {
      signature = GetInt(header);
      version = GetShort(header + 4);
    }
    PayloadInflater inflater(size - kHeaderSize);
    int rc = inflater.Start();
    std::unique_ptr<uint8_t[]> slice(new (std::nothrow) uint8_t[kReadSlice]);
    size_t done = kHeaderSize;
    if (!slice) rc = Z_MEM_ERROR;
    while (rc == Z_OK && !inflater.Ended() && done < size) {
      size_t want = size - done < kReadSlice ? size - done : kReadSlice;
      err = aFile_Read(file, slice.get(), want, &got);
      if (err != aErrNone || got == 0) break;
      done += got;
      rc = inflater.Feed(slice.get(), got);
    }
    if (rc == Z_OK && !inflater.Ended() && done < size) {
      if (err != aErrNone && err != aErrEOF) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", err, path.c_str());
      } else {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", path.c_str(),
                 done, size);
      }
    } else if (FinishInflate(inflater, rc)) {
      // A framing mismatch is logged by the scan; the blocks that fit count.
      ScanBlocks(payload.get(), payloadSize);
      FindSerialNumberOffsets();
      result = true;
    }
  }
  for (const BirdBlock& block : blocks) {
    if (block.type == BLOCK_TYPE_SERIAL_OFFSETS) {
      hasSerialOffsets = true;
      FindSerialNumberOffsets();
      break;
    }
  }
  aFile_Close(&file);
  return result;
}

bool BirdFile::VerifyFile(const std::string& filePath) {
  aFile* file = aFile_Open(filePath.c_str(), aFileModeRead);
  if (file == nullptr) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", filePath.c_str());
    return false;
  }
  uint8_t header[kHeaderSize] = {};
  size_t got = 0;
  aErr err = aFile_Read(file, header, sizeof header, &got);
  aFile_Close(&file);
  return err == aErrNone && got == kHeaderSize && GetInt(header) == BIRD_FILE_SIGNATURE && header[4] != 0 &&
         header[5] != 0;
}

bool BirdFile::DecompressData(const uint8_t* compressed, size_t compressedSize) {
  PayloadInflater inflater(compressedSize);
  int rc = inflater.Start();
  if (rc == Z_OK) rc = inflater.Feed(compressed, compressedSize);
  return FinishInflate(inflater, rc);
}

bool BirdFile::FinishInflate(PayloadInflater& inflater, int rc) {
  blocks.clear();
  blockCount = 0;
  payload.reset();
  payloadSize = 0;
  if (rc == Z_OK) rc = inflater.Finish();
  if (rc != Z_OK) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
    return false;
  }
  payloadSize = inflater.Produced();
  payload.reset(inflater.Release());
  return true;
}

bool BirdFile::ScanBlocks(uint8_t* bytes, uint32_t size) {
  blockCount = 0;
  blocks.clear();
  if (bytes == nullptr || size < 4) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             static_cast<int>(size));
    return false;
  }
  uint32_t reported = GetInt(bytes);
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(reported));
  Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

  uint32_t pos = 4;
  while (size - pos > 4) {
    uint32_t length = GetInt(bytes + pos + 1);
    if (length > size - pos - kBlockHeaderSize) break;  // data would run past the payload
    BirdBlock block;
    block.type = bytes[pos] & BIRD_FILE_TYPE_MASK;
    block.flags = static_cast<uint8_t>((bytes[pos] & BIRD_FILE_FLAG_MASK) >> 5);
    block.length = length;
    block.data = bytes + pos + kBlockHeaderSize;
    if (IsImage(block.type) && length >= kAddressSize) block.address = GetInt(block.data);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
             static_cast<int>(length));
    if (block.type == BLOCK_TYPE_DESCRIPTOR) {
      for (uint32_t field = 0; field < 4 && (field + 1) * 16 <= length; ++field) {
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                 reinterpret_cast<const char*>(block.data + field * 16));
      }
    }
    pos += kBlockHeaderSize + length;
    ++blockCount;
    blocks.push_back(block);
  }
  uint32_t remaining = size - pos;
  if (remaining >= 4) {
    checksum = GetInt(bytes + pos);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
    remaining -= 4;
  }
  if (remaining > 0) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             static_cast<int>(remaining));
    return false;
  }
  if (blockCount != reported) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
             static_cast<int>(blockCount), static_cast<int>(reported));
    return false;
  }
  return true;
}

const BirdBlock* BirdFile::FirstBlock(BLOCK_TYPE type, uint32_t minLength) const {
  for (const BirdBlock& block : blocks) {
    if (block.type == type) return block.length >= minLength ? &block : nullptr;
  }
  return nullptr;
}

const uint8_t* BirdFile::Descriptor() const {
  const BirdBlock* block = FirstBlock(BLOCK_TYPE_DESCRIPTOR, kDescriptorSize);
  return block ? block->data : nullptr;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
  std::vector<BirdBlock> found;
  for (const BirdBlock& block : blocks) {
    if (block.type == type) found.push_back(block);
  }
  return found;
}

uint32_t BirdFile::GetBuild() const {
  const uint8_t* descriptor = Descriptor();
  if (descriptor == nullptr) return 0;
  char text[16] = {};
  std::memcpy(text, descriptor, 15);
  return ParseDecimal(text);
}

std::string BirdFile::GetVersion() const {
  const uint8_t* descriptor = Descriptor();
  if (descriptor == nullptr) return std::string();
  const char* field = reinterpret_cast<const char*>(descriptor + 16);
  size_t length = 0;
  while (length < 15 && field[length] != ' ' && field[length] != '\0') ++length;
  return std::string(field, length);
}

uint32_t BirdFile::GetSerialNumber() const {
  const uint8_t* descriptor = Descriptor();
  if (descriptor == nullptr) return 0;
  const char* field = reinterpret_cast<const char*>(descriptor + 32);
  size_t i = 0;
  while (i < 8 && std::isspace(static_cast<unsigned char>(field[i]))) ++i;
  uint32_t value = 0;
  for (; i < 8 && HexDigit(field[i]) >= 0; ++i)
    value = (value << 4) | static_cast<uint32_t>(HexDigit(field[i]));
  return value;
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const { return serial == GetSerialNumber(); }

bool BirdFile::ValidateModel(const std::string& model) const {
  const uint8_t* descriptor = Descriptor();
  if (descriptor == nullptr || model.size() > 16) return false;
  char text[17] = {};
  std::memcpy(text, descriptor + 48, 16);
  for (size_t end = std::strlen(text); end > 0 && text[end - 1] == ' '; --end) text[end - 1] = '\0';
  if (std::strncmp(text, model.c_str(), model.size()) != 0) return false;
  Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", text, model.c_str());
  return true;
}

bool BirdFile::FindSerialNumberOffsets() {
  if (blockCount == 0) return false;
  const BirdBlock* block = FirstBlock(BLOCK_TYPE_SERIAL_OFFSETS, kSerialOffsetsSize);
  if (block == nullptr) return false;
  serialNumberAddress = GetInt(block->data);
  descriptorAddress = GetInt(block->data + 4);
  Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
           static_cast<int>(serialNumberAddress), static_cast<int>(descriptorAddress));
  return true;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", serial);
  bool serialWritten = false;
  bool descriptorWritten = false;
  for (BirdBlock& block : blocks) {
    if (block.type != BLOCK_TYPE_FIRMWARE) continue;
    uint32_t at = 0;
    if (serialNumberAddress != 0 && ImageCovers(block, serialNumberAddress, 4, &at)) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
               GetLittleInt(block.data + at), serial);
      PutLittleInt(block.data + at, serial);
      serialWritten = true;
    }
    if (descriptorAddress != 0 && ImageCovers(block, descriptorAddress, 16, &at)) {
      // UTF-16LE characters of a USB string descriptor: the high bytes stay.
      for (int i = 0; i < 8; ++i) block.data[at + 2 * i] = static_cast<uint8_t>(text[i]);
      descriptorWritten = true;
    }
  }
  // An address that no image covers means the device would get a wrong
  // serial number: that is a failure, not a success.
  if (serialNumberAddress != 0 && !serialWritten) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: serial number address %08X lies in no firmware image\n",
             serialNumberAddress);
  }
  if (descriptorAddress != 0 && !descriptorWritten) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: descriptor address %08X lies in no firmware image\n",
             descriptorAddress);
  }
  bool any = serialNumberAddress != 0 || descriptorAddress != 0;
  return any && (serialNumberAddress == 0 || serialWritten) && (descriptorAddress == 0 || descriptorWritten);
}

bool BirdFile::DecodeFirmwareBlocks(uint32_t key0, uint32_t key1, uint32_t key2, uint32_t key3) {
  const uint32_t words[4] = {key0, key1, key2, key3};
  uint8_t key[16];
  for (int w = 0; w < 4; ++w) {
    for (int b = 0; b < 4; ++b) key[w * 4 + b] = static_cast<uint8_t>(words[w] >> (24 - 8 * b));
  }
  for (BirdBlock& block : blocks) {
    if (block.type != BLOCK_TYPE_FIRMWARE) continue;
    uint8_t previous = 0;
    uint32_t k = 0;
    for (uint32_t i = kAddressSize; i < block.length; ++i) {
      uint8_t decoded = static_cast<uint8_t>(block.data[i] ^ key[k] ^ previous);
      block.data[i] = decoded;
      previous = decoded;
      k = (k + 1) % 16;
    }
  }
  return true;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const {
  std::printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
  std::string text;
  for (const BirdBlock& block : blocks) {
    if (block.type != type) continue;
    for (uint32_t i = 0; i < block.length; ++i) {
      if (i % 50 == 0) {
        std::printf(" %s\r\n%06d: ", text.c_str(), static_cast<int>(i));
        text.clear();
      }
      uint8_t byte = block.data[i];
      text += std::isprint(byte) ? static_cast<char>(byte) : ' ';
      std::printf("%02X ", byte);
    }
    std::printf(" %s\n", text.c_str());
    text.clear();
  }
  std::printf("\n");
  return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, size_t length) const {
  Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
  bool found = false;
  if (pattern != nullptr && length > 0) {
    for (const BirdBlock& block : blocks) {
      if (block.type != BLOCK_TYPE_FIRMWARE || length > block.length) continue;
      // Every start at which the whole pattern fits, the last one included.
      for (size_t start = 0; start + length <= block.length; ++start) {
        if (std::memcmp(block.data + start, pattern, length) == 0) {
          Log::log(DEBUG_BirdFile, "Found data at %d\n", static_cast<int>(start));
          found = true;
        }
      }
    }
  }
  Log::log(DEBUG_BirdFile, "\n");
  return found;
}

bool BirdFile::ReplaceVectorChecksum() {
  for (BirdBlock& block : blocks) {
    if (block.type != BLOCK_TYPE_FIRMWARE || block.address != 0 || ImageLength(block) < 32) continue;
    uint8_t* vectors = block.data + kAddressSize;
    uint32_t sum = 0;
    for (int word : {0, 1, 2, 3, 4, 6}) sum += GetLittleInt(vectors + 4 * word);
    uint32_t value = ~sum + 1;
    Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
             GetLittleInt(vectors + 28), value);
    PutLittleInt(vectors + 28, value);
  }
  return true;
}

uint32_t BirdFile::GetLoaderStart() const {
  const BirdBlock* block = FirstBlock(BLOCK_TYPE_LOADER_START, 4);
  return block ? GetInt(block->data) : BIRD_DEFAULT_LOADER_START;
}
