// Loads fuzzed BIRD files and runs every operation on what loaded.
//
// The first input byte picks how the rest is used: even, as a whole file;
// odd, as a decompressed payload that is compressed and given a header here,
// so that mutations reach the block scan instead of dying in zlib.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/birdwriter/BirdWriter.h"
#include "store/BirdFile.h"

namespace {

std::string gDir;
std::string gPath;

void WriteFile(const uint8_t* data, size_t size) {
  FILE* f = std::fopen(gPath.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static char pattern[] = "/tmp/fuzz-bird-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  gDir = pattern;
  std::atexit([] { std::filesystem::remove_all(gDir); });
  gPath = std::string(pattern) + "/input.bird";
  // DumpBlocks writes to standard output; libFuzzer reports on standard error.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  bool asPayload = data[0] & 1;
  ++data;
  --size;
  if (asPayload) {
    std::vector<uint8_t> file = {'b', 'i', 'r', 'd', 0x01, 0x01};
    uLongf bound = compressBound(size);
    file.resize(6 + bound);
    if (compress2(file.data() + 6, &bound, data, size, 1) != Z_OK) return 0;
    file.resize(6 + bound);
    WriteFile(file.data(), file.size());
  } else {
    WriteFile(data, size);
  }

  BirdFile::VerifyFile(gPath);
  // birdtool's own reader takes the same outside bytes.
  {
    birdwriter::Bytes bytes;
    if (birdwriter::ReadFile(gPath, bytes, nullptr)) birdwriter::Parse(bytes, nullptr);
  }
  BirdFile file;
  try {
    file = BirdFile(gPath);
  } catch (const std::runtime_error&) {
    return 0;
  }
  for (uint8_t type = 0; type < 8; ++type) file.FindBlocks(static_cast<BLOCK_TYPE>(type));
  file.GetBuild();
  file.GetVersion();
  file.GetSerialNumber();
  file.GetLoaderStart();
  file.ValidateModel("ALPHA");
  file.ValidateModel("");
  file.ReplaceSerialNumber(0x1A2B3C4D);
  const uint8_t pattern[] = {0x4D, 0x3C, 0x2B, 0x1A};
  file.ValidateData(pattern, sizeof pattern);
  file.ReplaceVectorChecksum();
  file.DecodeFirmwareBlocks(0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10);
  file.DumpBlocks(BLOCK_TYPE_FIRMWARE);
  // The scan must never run past the payload it was given.
  uint32_t total = 0;
  for (const BirdBlock& block : file.blocks) total += 5 + block.length;
  if (file.blocks.size() != file.blockCount || (file.payloadSize >= 4 && total > file.payloadSize - 4)) {
    std::abort();
  }
  return 0;
}
