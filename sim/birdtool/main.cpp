// birdtool: builds BIRD firmware files from raw images and dumps them.
// Usage is in sim/README.md and in `birdtool --help`.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/birdwriter/BirdWriter.h"
#include "sim/birdwriter/VirtualImage.h"

namespace {

using birdwriter::Bytes;

const char kUsage[] =
    "usage: birdtool build -o OUT.bird [block options...] [descriptor options] [-z LEVEL]\n"
    "       birdtool dump [--data] FILE.bird\n"
    "\n"
    "Blocks are written in the order their options are given.\n"
    "  --loader ADDR:FILE[:FLAGS]     loader image (type 0) loaded at ADDR\n"
    "  --firmware ADDR:FILE[:FLAGS]   firmware image (type 1) loaded at ADDR\n"
    "  --serial-offsets SN:DESC       serial-number word and text addresses (type 2)\n"
    "  --loader-start ADDR            i.MX recovery loader start address (type 5)\n"
    "  --vm-firmware ADDR:SIZE[:FLAGS] firmware block holding a virtual-module image of SIZE bytes\n"
    "                                 (its header carries the descriptor and --model-number)\n"
    "Descriptor (type 4, written where the first of these options appears):\n"
    "  --build N  --version TEXT  --serial HEX  --model NAME\n"
    "  --model-number N               model number of --vm-firmware images (0-255)\n"
    "  -z LEVEL                       zlib level 0-9 (default 9)\n"
    "Numbers take C syntax (0x1000, 4096). FLAGS is 0-7.\n";

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "birdtool: %s\n", message.c_str());
  std::exit(2);
}

uint32_t ParseNumber(const std::string& text, int base, const char* what) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) || text[0] == '-') {
    Fail(std::string("bad ") + what + " '" + text + "'");
  }
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || value > UINT32_MAX) {
    Fail(std::string("bad ") + what + " '" + text + "'");
  }
  return static_cast<uint32_t>(value);
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) return parts;
    start = colon + 1;
  }
}

// ADDR:FILE[:FLAGS]; a file name holding ':' is not supported.
void AddImage(birdwriter::Writer& writer, uint8_t type, const std::string& spec) {
  std::vector<std::string> parts = Split(spec);
  if (parts.size() < 2 || parts.size() > 3 || parts[1].empty()) {
    Fail("expected ADDR:FILE[:FLAGS], got '" + spec + "'");
  }
  uint32_t address = ParseNumber(parts[0], 0, "address");
  uint32_t flags = parts.size() == 3 ? ParseNumber(parts[2], 0, "flags") : 0;
  if (flags > 7) Fail("flags must be 0-7");
  Bytes image;
  std::string error;
  if (!birdwriter::ReadFile(parts[1], image, &error)) Fail(error);
  writer.AddRaw(type, static_cast<uint8_t>(flags), [&] {
    Bytes data;
    birdwriter::PutU32(data, address);
    data.insert(data.end(), image.begin(), image.end());
    return data;
  }());
}

int Build(int argc, char** argv) {
  birdwriter::Writer writer;
  birdwriter::Descriptor descriptor;
  bool wantDescriptor = false;
  size_t descriptorIndex = 0;
  std::string out;
  int level = 9;
  // Virtual-module images are made once the descriptor is complete.
  struct VirtualImageBlock {
    size_t index;
    uint32_t address;
    uint32_t size;
  };
  std::vector<VirtualImageBlock> virtualImages;
  std::optional<uint8_t> modelNumber;
  auto noteDescriptor = [&] {
    if (!wantDescriptor) descriptorIndex = writer.Blocks().size();
    wantDescriptor = true;
  };
  for (int i = 2; i < argc; ++i) {
    std::string option = argv[i];
    if (i + 1 >= argc) Fail("option " + option + " needs a value");
    std::string value = argv[++i];
    if (option == "-o") {
      out = value;
    } else if (option == "--loader") {
      AddImage(writer, birdwriter::kTypeLoader, value);
    } else if (option == "--firmware") {
      AddImage(writer, birdwriter::kTypeFirmware, value);
    } else if (option == "--serial-offsets") {
      std::vector<std::string> parts = Split(value);
      if (parts.size() != 2) Fail("expected SN:DESC, got '" + value + "'");
      writer.AddSerialOffsets(ParseNumber(parts[0], 0, "address"), ParseNumber(parts[1], 0, "address"));
    } else if (option == "--vm-firmware") {
      std::vector<std::string> parts = Split(value);
      if (parts.size() < 2 || parts.size() > 3) Fail("expected ADDR:SIZE[:FLAGS], got '" + value + "'");
      uint32_t flags = parts.size() == 3 ? ParseNumber(parts[2], 0, "flags") : 0;
      if (flags > 7) Fail("flags must be 0-7");
      const uint32_t size = ParseNumber(parts[1], 0, "size");
      if (size > (256u << 20)) Fail("a virtual image is at most 256 MiB");
      virtualImages.push_back({writer.Blocks().size(), ParseNumber(parts[0], 0, "address"), size});
      writer.AddRaw(birdwriter::kTypeFirmware, static_cast<uint8_t>(flags), {});
    } else if (option == "--model-number") {
      uint32_t number = ParseNumber(value, 0, "model number");
      if (number > 255) Fail("model number must be 0-255");
      modelNumber = static_cast<uint8_t>(number);
    } else if (option == "--loader-start") {
      writer.AddLoaderStart(ParseNumber(value, 0, "address"));
    } else if (option == "--build") {
      noteDescriptor();
      descriptor.build = ParseNumber(value, 10, "build");
    } else if (option == "--version") {
      noteDescriptor();
      descriptor.version = value;
    } else if (option == "--serial") {
      noteDescriptor();
      if (value.size() > 8) Fail("serial number has more than 8 hexadecimal digits");
      descriptor.serial = ParseNumber(value, 16, "serial number");
    } else if (option == "--model") {
      noteDescriptor();
      descriptor.model = value;
    } else if (option == "-z") {
      level = static_cast<int>(ParseNumber(value, 10, "level"));
      if (level > 9) Fail("level must be 0-9");
    } else {
      Fail("unknown option " + option + "\n" + kUsage);
    }
  }
  if (out.empty()) Fail("build needs -o OUT.bird");
  if (!virtualImages.empty() && !modelNumber) Fail("--vm-firmware needs --model-number");

  birdwriter::Writer ordered;
  try {
    const auto& blocks = writer.Blocks();
    for (size_t i = 0; i <= blocks.size(); ++i) {
      if (wantDescriptor && i == descriptorIndex) ordered.AddDescriptor(descriptor);
      if (i == blocks.size()) break;
      auto image = std::find_if(virtualImages.begin(), virtualImages.end(),
                                [&](const VirtualImageBlock& v) { return v.index == i; });
      if (image == virtualImages.end()) {
        ordered.AddRaw(blocks[i].type, blocks[i].flags, blocks[i].data);
      } else {
        ordered.AddFirmware(image->address,
                            birdwriter::VirtualFirmwareImage(descriptor, *modelNumber, image->size),
                            blocks[i].flags);
      }
    }
  } catch (const std::exception& e) {
    Fail(e.what());
  }
  Bytes file = ordered.File(birdwriter::kCurrentVersion, level);
  std::string error;
  if (!birdwriter::WriteFile(out, file, &error)) Fail(error);
  std::printf("%s: %zu blocks, %zu bytes\n", out.c_str(), ordered.Blocks().size(), file.size());
  return 0;
}

const char* TypeName(uint8_t type) {
  switch (type) {
    case birdwriter::kTypeLoader: return "loader";
    case birdwriter::kTypeFirmware: return "firmware";
    case birdwriter::kTypeSerialOffsets: return "serial-offsets";
    case birdwriter::kTypeDescriptor: return "descriptor";
    case birdwriter::kTypeLoaderStart: return "loader-start";
    default: return "unknown";
  }
}

std::string Printable(const uint8_t* bytes, size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    text += std::isprint(bytes[i]) ? static_cast<char>(bytes[i]) : '.';
  }
  return text;
}

void HexDump(const Bytes& data) {
  for (size_t row = 0; row < data.size(); row += 16) {
    std::printf("      %06zx ", row);
    size_t n = std::min<size_t>(16, data.size() - row);
    for (size_t i = 0; i < 16; ++i) {
      if (i < n)
        std::printf(" %02X", data[row + i]);
      else
        std::printf("   ");
    }
    std::printf("  %s\n", Printable(&data[row], n).c_str());
  }
}

int Dump(int argc, char** argv) {
  bool data = false;
  std::string path;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--data") == 0)
      data = true;
    else if (path.empty())
      path = argv[i];
    else
      Fail(std::string("unexpected argument ") + argv[i]);
  }
  if (path.empty()) Fail("dump needs a file");
  Bytes file;
  std::string error;
  if (!birdwriter::ReadFile(path, file, &error)) Fail(error);
  std::optional<birdwriter::Parsed> parsed = birdwriter::Parse(file, &error);
  if (!parsed) {
    std::printf("%s: not a BIRD file: %s\n", path.c_str(), error.c_str());
    return 1;
  }
  std::printf("file       %s (%zu bytes)\n", path.c_str(), file.size());
  std::printf("signature  %08X \"%s\"\n", parsed->signature, Printable(file.data(), 4).c_str());
  std::printf("version    0x%04X\n", parsed->version);
  std::printf("payload    %zu bytes compressed, %zu bytes inflated\n", parsed->compressedSize,
              parsed->payload.size());
  std::printf("blocks     %u reported, %zu found\n", parsed->reportedCount, parsed->blocks.size());
  for (size_t i = 0; i < parsed->blocks.size(); ++i) {
    const birdwriter::Block& b = parsed->blocks[i];
    std::printf("  [%zu] type %u (%s) flags %u length %zu", i, b.type, TypeName(b.type), b.flags,
                b.data.size());
    bool image = b.type == birdwriter::kTypeLoader || b.type == birdwriter::kTypeFirmware;
    if (image && b.data.size() >= 4) {
      uint32_t address = birdwriter::GetU32(b.data.data());
      std::printf(" address 0x%08X..0x%08llX", address,
                  static_cast<unsigned long long>(address) + (b.data.size() - 4));
    } else if (b.type == birdwriter::kTypeSerialOffsets && b.data.size() >= 8) {
      std::printf(" serial word 0x%08X serial text 0x%08X", birdwriter::GetU32(b.data.data()),
                  birdwriter::GetU32(b.data.data() + 4));
    } else if (b.type == birdwriter::kTypeLoaderStart && b.data.size() >= 4) {
      std::printf(" start 0x%08X", birdwriter::GetU32(b.data.data()));
    }
    std::printf("\n");
    if (b.type == birdwriter::kTypeDescriptor) {
      static const char* const kFields[] = {"build", "version", "serial", "model"};
      for (size_t f = 0; f < 4 && (f + 1) * 16 <= b.data.size(); ++f) {
        std::printf("      %-8s [%s]\n", kFields[f], Printable(&b.data[f * 16], 16).c_str());
      }
      if (b.data.size() < birdwriter::kDescriptorSize) std::printf("      (short descriptor)\n");
    }
    if (data) HexDump(b.data);
  }
  if (parsed->storedChecksum) {
    bool match = *parsed->storedChecksum == parsed->computedChecksum;
    std::printf("checksum   %08X stored, %08X CRC-32 %s\n", *parsed->storedChecksum, parsed->computedChecksum,
                match ? "(matches)" : "(differs)");
  }
  for (const std::string& e : parsed->errors) std::printf("problem    %s\n", e.c_str());
  return parsed->errors.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "build") == 0) return Build(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "dump") == 0) return Dump(argc, argv);
  bool help = argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
  std::fputs(kUsage, help ? stdout : stderr);
  return help ? 0 : 2;
}
