// Firmware images made for the virtual module.
//
// The virtual module has no processor to run an image on; after a reboot
// it takes its identity from the image it was given. Such an image starts
// with a small header:
//
//   offset 0   8 bytes   "vmodfw01"
//   offset 8   1 byte    model number the module reports
//   offset 9   7 bytes   zero
//   offset 16  64 bytes  descriptor text, exactly as the BIRD descriptor block
//   offset 80  ...       filler (byte i = (i * 131 + 7) & 0xFF), up to the image size
//
// The descriptor copy gives build, version and model name; the model number
// travels beside it because the module reports a number, not a name.
// Serial-number offsets in a BIRD file must point past the header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "sim/birdwriter/BirdWriter.h"

namespace birdwriter {

inline constexpr char kVirtualImageMagic[] = "vmodfw01";
inline constexpr size_t kVirtualImageHeaderSize = 16 + kDescriptorSize;

// An image of `size` bytes (at least kVirtualImageHeaderSize). Throws
// std::invalid_argument for a short size or a descriptor that does not fit.
Bytes VirtualFirmwareImage(const Descriptor& descriptor, uint8_t modelNumber, size_t size);

struct VirtualImageInfo {
  uint8_t modelNumber = 0;
  Descriptor descriptor;  // build, version, serial and model as the text reads
};

// nullopt unless the bytes begin with a whole header; the descriptor fields
// are read the way the updater reads a descriptor block.
std::optional<VirtualImageInfo> ParseVirtualFirmwareImage(const uint8_t* bytes, size_t length);

// The descriptor's four fields from 64 bytes of text.
Descriptor ParseDescriptorText(const uint8_t* text);

}  // namespace birdwriter
