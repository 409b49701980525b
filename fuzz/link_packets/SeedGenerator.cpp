// Writes the seed corpus: aligned packet streams, heartbeats and the
// misalignments the link engine must survive.
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::vector<uint8_t> largest{0x04, 28};
  for (int i = 0; i < 28; ++i) largest.push_back(static_cast<uint8_t>(i));
  const std::vector<std::vector<uint8_t>> seeds = {
      {0x04, 0x03, 0x01, 0x02, 0x03},
      {0x04, 0x00, 0x04, 0x00, 0x06, 0x02, 0x00, 0x00},
      {0x04, 0x02, 0x00, 0x01, 0x04, 0x02, 0x00, 0x05},
      {0x05, 0x04, 0x1D, 0x00, 0x04, 0x01},
      {0x04, 0x05, 0x12, 0x01, 0x45, 0x00, 0x00},
      largest,
  };
  for (size_t i = 0; i < seeds.size(); ++i) {
    const std::string path = std::string(argv[1]) + "/seed-" + std::to_string(i);
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return 1;
    std::fwrite(seeds[i].data(), 1, seeds[i].size(), file);
    std::fclose(file);
  }
  return 0;
}
