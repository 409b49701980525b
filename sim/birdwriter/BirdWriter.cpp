#include "sim/birdwriter/BirdWriter.h"

#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace birdwriter {

void PutU32(Bytes& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 24));
  out.push_back(static_cast<uint8_t>(value >> 16));
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void PutU16(Bytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

uint32_t GetU32(const uint8_t* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         uint32_t{bytes[3]};
}

namespace {

Bytes ImageData(uint32_t address, const Bytes& image) {
  Bytes data;
  data.reserve(4 + image.size());
  PutU32(data, address);
  data.insert(data.end(), image.begin(), image.end());
  return data;
}

void PutField(Bytes& out, const std::string& text, const char* what) {
  if (text.size() > kDescriptorFieldSize) {
    throw std::invalid_argument(std::string("descriptor ") + what + " longer than 16 characters");
  }
  out.insert(out.end(), text.begin(), text.end());
  out.insert(out.end(), kDescriptorFieldSize - text.size(), ' ');
}

}  // namespace

Writer& Writer::AddLoader(uint32_t address, const Bytes& image, uint8_t flags) {
  return AddRaw(kTypeLoader, flags, ImageData(address, image));
}

Writer& Writer::AddFirmware(uint32_t address, const Bytes& image, uint8_t flags) {
  return AddRaw(kTypeFirmware, flags, ImageData(address, image));
}

Writer& Writer::AddSerialOffsets(uint32_t serialAddress, uint32_t descriptorAddress) {
  Bytes data;
  PutU32(data, serialAddress);
  PutU32(data, descriptorAddress);
  return AddRaw(kTypeSerialOffsets, 0, data);
}

Writer& Writer::AddDescriptor(const Descriptor& descriptor) {
  return AddRaw(kTypeDescriptor, 0, DescriptorBytes(descriptor));
}

Writer& Writer::AddLoaderStart(uint32_t address) {
  Bytes data;
  PutU32(data, address);
  return AddRaw(kTypeLoaderStart, 0, data);
}

Writer& Writer::AddRaw(uint8_t type, uint8_t flags, const Bytes& data) {
  if (type > 0x1F || flags > 7) throw std::invalid_argument("block type above 31 or flags above 7");
  if (data.size() > UINT32_MAX) throw std::invalid_argument("block longer than 4 GiB");
  blocks_.push_back(Block{type, flags, data});
  return *this;
}

Writer& Writer::ReportBlockCount(uint32_t count) {
  reportedCount_ = count;
  return *this;
}

Writer& Writer::UseChecksum(uint32_t checksum) {
  checksum_ = checksum;
  return *this;
}

Bytes Writer::Payload() const {
  size_t total = 8;
  for (const Block& block : blocks_) total += 5 + block.data.size();
  Bytes payload;
  payload.reserve(total);
  PutU32(payload, reportedCount_.value_or(static_cast<uint32_t>(blocks_.size())));
  for (const Block& block : blocks_) {
    payload.push_back(static_cast<uint8_t>(block.type | (block.flags << 5)));
    PutU32(payload, static_cast<uint32_t>(block.data.size()));
    payload.insert(payload.end(), block.data.begin(), block.data.end());
  }
  PutU32(payload, checksum_.value_or(PayloadChecksum(payload.data(), payload.size())));
  return payload;
}

Bytes Writer::File(uint16_t version, int level) const {
  return FileFromCompressed(Compress(Payload(), level), version);
}

Bytes DescriptorBytes(const Descriptor& descriptor) {
  if (descriptor.version.find(' ') != std::string::npos || descriptor.version.size() > 15) {
    throw std::invalid_argument("descriptor version must be at most 15 characters without spaces");
  }
  Bytes out;
  out.reserve(kDescriptorSize);
  PutField(out, std::to_string(descriptor.build), "build");
  PutField(out, descriptor.version, "version");
  char serial[9];
  std::snprintf(serial, sizeof serial, "%08X", descriptor.serial);
  PutField(out, serial, "serial number");
  PutField(out, descriptor.model, "model");
  return out;
}

uint32_t PayloadChecksum(const uint8_t* payload, size_t lengthBeforeChecksum) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // crc32 takes a uInt length: feed large payloads in slices.
  while (lengthBeforeChecksum > 0) {
    uInt slice = lengthBeforeChecksum > (1u << 30) ? (1u << 30) : static_cast<uInt>(lengthBeforeChecksum);
    crc = crc32(crc, payload, slice);
    payload += slice;
    lengthBeforeChecksum -= slice;
  }
  return static_cast<uint32_t>(crc);
}

Bytes FileFromCompressed(const Bytes& compressed, uint16_t version) {
  Bytes file{'b', 'i', 'r', 'd'};
  PutU16(file, version);
  file.insert(file.end(), compressed.begin(), compressed.end());
  return file;
}

Bytes Compress(const Bytes& payload, int level) {
  uLongf size = compressBound(payload.size());
  Bytes out(size);
  int rc = compress2(out.data(), &size, payload.data(), payload.size(), level);
  if (rc != Z_OK) throw std::runtime_error("zlib compress2 failed: " + std::to_string(rc));
  out.resize(size);
  return out;
}

namespace {

bool Inflate(const uint8_t* in, size_t inSize, Bytes& out, size_t* consumed, std::string* error) {
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) {
    *error = "inflateInit failed";
    return false;
  }
  out.clear();
  zs.next_in = const_cast<Bytef*>(in);
  zs.avail_in = static_cast<uInt>(inSize > UINT32_MAX ? UINT32_MAX : inSize);
  int rc = Z_OK;
  uint8_t chunk[65536];
  while (rc == Z_OK) {
    zs.next_out = chunk;
    zs.avail_out = sizeof chunk;
    rc = inflate(&zs, Z_NO_FLUSH);
    out.insert(out.end(), chunk, chunk + (sizeof chunk - zs.avail_out));
    if (rc == Z_BUF_ERROR && zs.avail_in == 0) break;
  }
  *consumed = zs.total_in;
  inflateEnd(&zs);
  if (rc != Z_STREAM_END) {
    *error = rc == Z_BUF_ERROR ? "zlib stream is truncated"
                               : std::string("zlib error ") + std::to_string(rc) +
                                     (zs.msg ? std::string(": ") + zs.msg : std::string());
    return false;
  }
  return true;
}

}  // namespace

std::optional<Parsed> Parse(const Bytes& file, std::string* error) {
  std::string scratch;
  if (!error) error = &scratch;
  if (file.size() < 6) {
    *error = "file shorter than its 6-byte header (" + std::to_string(file.size()) + " bytes)";
    return std::nullopt;
  }
  Parsed parsed;
  parsed.signature = GetU32(file.data());
  parsed.version = static_cast<uint16_t>((file[4] << 8) | file[5]);
  parsed.compressedSize = file.size() - 6;
  if (parsed.signature != 0x62697264) parsed.errors.push_back("signature is not \"bird\"");
  if (file[4] == 0 || file[5] == 0) parsed.errors.push_back("a version byte is zero");

  size_t consumed = 0;
  if (!Inflate(file.data() + 6, file.size() - 6, parsed.payload, &consumed, error)) {
    return std::nullopt;
  }
  if (consumed != file.size() - 6) {
    parsed.errors.push_back(std::to_string(file.size() - 6 - consumed) + " bytes follow the zlib stream");
  }

  const Bytes& p = parsed.payload;
  if (p.size() < 8) {
    parsed.errors.push_back("payload shorter than block count and checksum (" + std::to_string(p.size()) +
                            " bytes)");
    if (p.size() >= 4) parsed.reportedCount = GetU32(p.data());
    return parsed;
  }
  parsed.reportedCount = GetU32(p.data());
  size_t end = p.size() - 4;  // the checksum word
  size_t pos = 4;
  while (pos < end) {
    if (end - pos < 5) {
      parsed.errors.push_back("block header at payload offset " + std::to_string(pos) + " is cut short");
      break;
    }
    uint32_t length = GetU32(&p[pos + 1]);
    if (length > end - pos - 5) {
      parsed.errors.push_back("block at payload offset " + std::to_string(pos) + " claims " +
                              std::to_string(length) + " bytes, " + std::to_string(end - pos - 5) +
                              " are there");
      break;
    }
    Block block;
    block.type = p[pos] & 0x1F;
    block.flags = static_cast<uint8_t>(p[pos] >> 5);
    block.data.assign(p.begin() + static_cast<long>(pos + 5),
                      p.begin() + static_cast<long>(pos + 5 + length));
    parsed.blocks.push_back(std::move(block));
    pos += 5 + length;
  }
  parsed.storedChecksum = GetU32(&p[end]);
  parsed.computedChecksum = PayloadChecksum(p.data(), end);
  if (parsed.reportedCount != parsed.blocks.size()) {
    parsed.errors.push_back("file reports " + std::to_string(parsed.reportedCount) + " blocks, " +
                            std::to_string(parsed.blocks.size()) + " found");
  }
  return parsed;
}

bool ReadFile(const std::string& path, Bytes& out, std::string* error) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    if (error) *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  out.clear();
  uint8_t buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.insert(out.end(), buffer, buffer + n);
  bool ok = !std::ferror(f);
  std::fclose(f);
  if (!ok && error) *error = "cannot read " + path;
  return ok;
}

bool WriteFile(const std::string& path, const Bytes& bytes, std::string* error) {
  std::string temp = path + ".tmp." + std::to_string(getpid());
  FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f) {
    if (error) *error = "cannot create " + temp + ": " + std::strerror(errno);
    return false;
  }
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = (std::fclose(f) == 0) && ok;
  if (ok && std::rename(temp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    if (error) *error = "cannot write " + path + ": " + std::strerror(errno);
    std::remove(temp.c_str());
  }
  return ok;
}

}  // namespace birdwriter
