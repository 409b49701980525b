// Writes the seed corpus: good frames (with the engine-independent
// encoding spelled out here), a bad CRC, a bad length, back-to-back
// delimiters and an over-long frame.
#include <cstdio>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

static uint8_t Crc(const Bytes& bytes) {
  uint8_t crc = 0;
  for (uint8_t b : bytes)
    for (int bit = 0; bit < 8; ++bit, b >>= 1) crc = ((crc ^ b) & 1) ? (crc >> 1) ^ 0x8C : crc >> 1;
  return crc;
}

static Bytes Frame(Bytes packet, bool breakCrc = false) {
  packet.push_back(static_cast<uint8_t>(Crc(packet) ^ (breakCrc ? 1 : 0)));
  Bytes out{0};
  size_t code = 0;
  for (uint8_t b : packet) {
    if (b == 0) {
      out[code] = static_cast<uint8_t>(out.size() - code);
      code = out.size();
      out.push_back(0);
    } else {
      out.push_back(b);
    }
  }
  out[code] = static_cast<uint8_t>(out.size() - code);
  out.push_back(0);
  return out;
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  Bytes largest{0x04, 28};
  for (int i = 0; i < 28; ++i) largest.push_back(static_cast<uint8_t>(i % 3));
  Bytes two = Frame({0x04, 0x01, 0x05});
  const Bytes heartbeat = Frame({0x04, 0x02, 0x00, 0x00});
  two.insert(two.end(), heartbeat.begin(), heartbeat.end());
  const std::vector<Bytes> seeds = {
      Frame({0x04, 0x01, 0x05}),
      two,
      Frame(largest),
      Frame({0x04, 0x01, 0x05}, true),
      Frame({0x04, 0x02, 0x05}),
      Bytes{0, 0, 0},
      Bytes(40, 0x11),
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
