// Helpers shared by the store tests: log capture and byte fixtures.
#pragma once

#include <cctype>
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

// True for a ctime text without its line feed: "Tue May 26 14:03:07 2026".
inline bool IsTimeText(const std::string& t) {
  static const char kShape[] = "aaa aaa _d dd:dd:dd dddd";
  if (t.size() != sizeof kShape - 1) return false;
  for (size_t i = 0; i < t.size(); ++i) {
    char c = t[i];
    switch (kShape[i]) {
      case 'a':
        if (!std::isalpha(static_cast<unsigned char>(c))) return false;
        break;
      case 'd':
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        break;
      case '_':
        if (c != ' ' && !std::isdigit(static_cast<unsigned char>(c))) return false;
        break;
      default:
        if (c != kShape[i]) return false;
    }
  }
  return true;
}

// Matches text against pattern, each '@' of which stands for a time text;
// the times found go to *times.
inline bool MatchWithTimes(const std::string& text, const std::string& pattern,
                           std::vector<std::string>* times = nullptr) {
  size_t t = 0;
  for (char p : pattern) {
    if (p == '@') {
      if (t + 24 > text.size() || !IsTimeText(text.substr(t, 24))) return false;
      if (times) times->push_back(text.substr(t, 24));
      t += 24;
    } else if (t >= text.size() || text[t++] != p) {
      return false;
    }
  }
  return t == text.size();
}
