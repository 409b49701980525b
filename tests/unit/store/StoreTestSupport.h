// Helpers shared by the store tests: log capture and byte fixtures.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/Log.h"
#include "sim/birdwriter/BirdWriter.h"
#include "support/TempDir.h"

// Switches the given log packages on and collects what they write.
class LogCapture {
 public:
  explicit LogCapture(unsigned packages) : packages_(packages) {
    stream_ = open_memstream(&buffer_, &size_);
    savedOut_ = Log::fh;
    savedMask_ = Log::package_bitmask;
    Log::SetOutput(stream_);
    Log::ActivatePackage(packages_);
  }
  ~LogCapture() {
    Log::SetOutput(savedOut_);
    Log::package_bitmask = savedMask_;
    std::fclose(stream_);
    std::free(buffer_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string Text() {
    std::fflush(stream_);
    return std::string(buffer_, size_);
  }
  bool Has(const std::string& line) { return Text().find(line) != std::string::npos; }

 private:
  unsigned packages_;
  FILE* stream_ = nullptr;
  char* buffer_ = nullptr;
  size_t size_ = 0;
  FILE* savedOut_ = nullptr;
  uint32_t savedMask_ = 0;
};

inline std::string AsString(const birdwriter::Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

inline birdwriter::Bytes AsBytes(const std::string& text) {
  return birdwriter::Bytes(text.begin(), text.end());
}

inline void WriteBytes(const std::string& path, const birdwriter::Bytes& bytes) {
  WriteWholeFile(path, AsString(bytes));
}

// An image of `size` bytes counting up from `seed`.
inline birdwriter::Bytes Pattern(size_t size, uint8_t seed = 0) {
  birdwriter::Bytes image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(seed + i);
  return image;
}
