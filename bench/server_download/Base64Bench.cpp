// Base64 decoding of a 2 MiB file against memcpy of the same bytes.
// Prints the ratio of their times (best of several rounds); the goal is a
// decode at most 8 times slower than the copy.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "server/UpdateServerRequest.h"

namespace {

constexpr size_t kFileBytes = 2 << 20;
constexpr int kRounds = 15;
constexpr double kLimit = 8.0;

template <typename F>
double BestSeconds(F&& f) {
  double best = 1e9;
  for (int i = 0; i < kRounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    f();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

}  // namespace

int main() {
  std::vector<unsigned char> file(kFileBytes);
  std::mt19937 rng(1);
  for (auto& b : file) b = static_cast<unsigned char>(rng());
  size_t textLength = 0;
  auto text = UpdateServerRequest::base64_encode(file.data(), file.size(), &textLength);

  std::vector<unsigned char> copy(textLength);
  volatile unsigned char sink = 0;
  const double copySeconds = BestSeconds([&] {
    memcpy(copy.data(), text.get(), textLength);
    sink = sink + copy[copy.size() / 2];
  });
  bool ok = true;
  const double decodeSeconds = BestSeconds([&] {
    size_t n = 0;
    auto bytes = UpdateServerRequest::base64_decode(text.get(), textLength, &n);
    ok = ok && bytes && n == kFileBytes && memcmp(bytes.get(), file.data(), n) == 0;
  });
  if (!ok) {
    fprintf(stderr, "base64 decode gave wrong bytes\n");
    return 1;
  }
  const double ratio = decodeSeconds / copySeconds;
  printf("base64_decode of %zu bytes of text: %.3f ms (%.0f MB/s of text)\n", textLength, decodeSeconds * 1e3,
         textLength / decodeSeconds / 1e6);
  printf("memcpy of the same text:            %.3f ms\n", copySeconds * 1e3);
  printf("ratio decode/memcpy: %.2f (goal: at most %.1f) %s\n", ratio, kLimit,
         ratio <= kLimit ? "within goal" : "OVER GOAL");
  return 0;
}
