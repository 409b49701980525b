#include "sim/vserver/BirdVersion.h"

#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <vector>

namespace vserver {
namespace {

// Header: "bird", u16 format version; then one zlib stream. Payload: u32
// block count, blocks of (u8 type|flags, u32 length, data), u32 checksum.
// All big-endian.
constexpr size_t kHeaderSize = 6;
constexpr uint8_t kTypeMask = 0x1F;
constexpr uint8_t kTypeDescriptor = 4;
constexpr size_t kDescriptorSize = 64;
constexpr size_t kMaxPayload = size_t{512} << 20;

uint32_t Be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

bool Inflate(const std::vector<uint8_t>& in, size_t offset, std::vector<uint8_t>& out, std::string& error) {
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) {
    error = "zlib init failed";
    return false;
  }
  zs.next_in = const_cast<Bytef*>(in.data() + offset);
  zs.avail_in = static_cast<uInt>(in.size() - offset);
  uint8_t chunk[65536];
  int rc = Z_OK;
  while (rc == Z_OK) {
    zs.next_out = chunk;
    zs.avail_out = sizeof chunk;
    rc = inflate(&zs, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) break;
    out.insert(out.end(), chunk, chunk + (sizeof chunk - zs.avail_out));
    if (out.size() > kMaxPayload) {
      rc = Z_MEM_ERROR;
      break;
    }
    if (rc == Z_OK && zs.avail_in == 0 && zs.avail_out != 0) {
      rc = Z_DATA_ERROR;  // input ended inside the stream
      break;
    }
  }
  inflateEnd(&zs);
  if (rc != Z_STREAM_END) {
    error = "payload is not a complete zlib stream";
    return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> ReadBirdVersion(const std::string& path, std::string* error) {
  std::string why;
  auto fail = [&](const std::string& text) -> std::optional<std::string> {
    if (error) *error = text;
    return std::nullopt;
  };
  std::ifstream file(path, std::ios::binary);
  if (!file) return fail("cannot open " + path);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (bytes.size() <= kHeaderSize || bytes[0] != 'b' || bytes[1] != 'i' || bytes[2] != 'r' || bytes[3] != 'd')
    return fail("not a BIRD file");
  std::vector<uint8_t> payload;
  if (!Inflate(bytes, kHeaderSize, payload, why)) return fail(why);
  if (payload.size() < 4) return fail("payload too short");

  size_t at = 4;
  while (payload.size() - at > 4) {
    if (payload.size() - at < 5) break;
    const uint8_t type = payload[at] & kTypeMask;
    const uint32_t length = Be32(&payload[at + 1]);
    at += 5;
    if (length > payload.size() - at) break;  // block runs past the payload
    if (type == kTypeDescriptor && length >= kDescriptorSize) {
      std::string version;
      for (size_t i = 16; i < 31; ++i) {
        const char c = static_cast<char>(payload[at + i]);
        if (c == ' ' || c == '\0') break;
        version += c;
      }
      return version;
    }
    at += length;
  }
  return std::string();
}

}  // namespace vserver
