// Writes the seed corpus: a good reply, short ones around the model and
// serial-number boundaries, and several replies back to back.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

static const Bytes kReply = {0x00, 0x06, 0x70, 0x17, 0x2A, 0, 0, 0, 0, 0, 0, 0, 0x05, 0, 0, 0};

static Bytes Datagram(size_t length) {
  Bytes out{static_cast<uint8_t>(length)};
  out.insert(out.end(), kReply.begin(), kReply.begin() + static_cast<std::ptrdiff_t>(length));
  return out;
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::vector<Bytes> seeds = {Datagram(16), Datagram(13), Datagram(12),
                              Datagram(8),  Datagram(7),  Datagram(0)};
  Bytes several;
  for (size_t length : {16, 3, 16, 12}) {
    const Bytes d = Datagram(length);
    several.insert(several.end(), d.begin(), d.end());
  }
  seeds.push_back(several);
  for (size_t i = 0; i < seeds.size(); ++i) {
    const std::string path = std::string(argv[1]) + "/seed-" + std::to_string(i);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 1;
    std::fwrite(seeds[i].data(), 1, seeds[i].size(), f);
    std::fclose(f);
  }
  return 0;
}
