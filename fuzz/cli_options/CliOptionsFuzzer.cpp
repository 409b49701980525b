// Command lines from arbitrary bytes: words are separated by NUL bytes.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/CLI_Display.h"
#include "app/CommandLine.h"
#include "app/Log.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The parser reports to stderr; keep the fuzzer's own output readable.
  if (freopen("/dev/null", "w", stderr) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words{"updater"};
  std::string word;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      words.push_back(word);
      word.clear();
    } else {
      word.push_back(static_cast<char>(data[i]));
    }
  }
  words.push_back(word);
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  static CLI_Display display;
  Parameters params;
  _get_params(display, static_cast<int>(argv.size()), argv.data(), &params);
  Log::package_bitmask = 0;
  return 0;
}
