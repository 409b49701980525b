#include "sim/birdwriter/VirtualImage.h"

#include <cctype>
#include <cstring>
#include <stdexcept>

namespace birdwriter {

namespace {

constexpr size_t kMagicSize = 8;
constexpr size_t kDescriptorOffset = 16;

std::string FieldText(const uint8_t* field, size_t length) {
  return std::string(reinterpret_cast<const char*>(field), length);
}

}  // namespace

Bytes VirtualFirmwareImage(const Descriptor& descriptor, uint8_t modelNumber, size_t size) {
  if (size < kVirtualImageHeaderSize) {
    throw std::invalid_argument("a virtual firmware image needs at least " +
                                std::to_string(kVirtualImageHeaderSize) + " bytes");
  }
  Bytes image(kVirtualImageMagic, kVirtualImageMagic + kMagicSize);
  image.push_back(modelNumber);
  image.resize(kDescriptorOffset, 0);
  const Bytes text = DescriptorBytes(descriptor);
  image.insert(image.end(), text.begin(), text.end());
  image.reserve(size);
  // Pseudo-random filler: real firmware compresses about 2:1, and a file
  // that compresses far better than that is refused by the updater.
  uint32_t state = 0x2545F491u;
  for (size_t i = image.size(); i < size; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    image.push_back(static_cast<uint8_t>(state >> 24));
  }
  return image;
}

Descriptor ParseDescriptorText(const uint8_t* text) {
  Descriptor d;
  // Build: decimal digits after optional white space, within bytes 0-14.
  size_t at = 0;
  while (at < 15 && std::isspace(text[at])) ++at;
  uint64_t build = 0;
  for (; at < 15 && std::isdigit(text[at]); ++at) build = build * 10 + (text[at] - '0');
  d.build = static_cast<uint32_t>(build);
  // Version: bytes 16-30, up to the first space or NUL.
  std::string version = FieldText(text + 16, 15);
  d.version = version.substr(0, version.find_first_of(std::string(" \0", 2)));
  // Serial: 8 hexadecimal digits; anything else reads as 0.
  uint32_t serial = 0;
  for (size_t i = 32; i < 40; ++i) {
    if (!std::isxdigit(text[i])) {
      serial = 0;
      break;
    }
    serial = (serial << 4) |
             static_cast<uint32_t>(std::isdigit(text[i]) ? text[i] - '0' : std::toupper(text[i]) - 'A' + 10);
  }
  d.serial = serial;
  std::string model = FieldText(text + 48, 16);
  d.model = model.substr(0, model.find_last_not_of(' ') + 1);
  return d;
}

std::optional<VirtualImageInfo> ParseVirtualFirmwareImage(const uint8_t* bytes, size_t length) {
  if (!bytes || length < kVirtualImageHeaderSize) return std::nullopt;
  if (std::memcmp(bytes, kVirtualImageMagic, kMagicSize) != 0) return std::nullopt;
  VirtualImageInfo info;
  info.modelNumber = bytes[kMagicSize];
  info.descriptor = ParseDescriptorText(bytes + kDescriptorOffset);
  return info;
}

}  // namespace birdwriter
