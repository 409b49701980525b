// Writes the seed corpus of fuzz_bird_file into the directory given: files
// made by the BIRD writer, each prefixed with the fuzzer's mode byte.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "sim/birdwriter/BirdWriter.h"

using birdwriter::Bytes;

namespace {

Bytes Image(size_t size, uint8_t seed) {
  Bytes image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(seed * 31 + i * 7);
  return image;
}

void Put(const std::string& dir, const std::string& name, uint8_t mode, const Bytes& body) {
  Bytes out{mode};
  out.insert(out.end(), body.begin(), body.end());
  std::string error;
  if (!birdwriter::WriteFile(dir + "/" + name, out, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  birdwriter::Descriptor d;
  d.build = 101;
  d.version = "1.2.3";
  d.serial = 0xDEADDEAD;
  d.model = "ALPHA";

  birdwriter::Writer full;
  full.AddLoader(0x20000000, Image(64, 1), 1)
      .AddFirmware(0x1000, Image(96, 2), 2)
      .AddFirmware(0, Image(40, 3))
      .AddSerialOffsets(0x1010, 0x1020)
      .AddDescriptor(d)
      .AddLoaderStart(0x20000400);
  birdwriter::Writer odd;
  odd.AddRaw(3, 7, Image(5, 4)).AddRaw(31, 0, {}).AddRaw(2, 0, {0, 0, 1}).AddRaw(4, 0, Image(20, 5));
  birdwriter::Writer lying;
  lying.AddFirmware(0x100, Image(8, 6)).ReportBlockCount(9);

  const birdwriter::Writer* writers[] = {&full, &odd, &lying};
  int n = 0;
  for (const birdwriter::Writer* w : writers) {
    Put(dir, "file" + std::to_string(n), 0, w->File());
    Put(dir, "payload" + std::to_string(n), 1, w->Payload());
    ++n;
  }
  Put(dir, "header-only", 0, {'b', 'i', 'r', 'd', 1, 1});
  Put(dir, "empty-payload", 1, {});
  return 0;
}
