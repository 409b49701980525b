#include "server/UpdateServerRequest.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>

#include "Corvantis2/common/aVersion.h"
#include "app/Log.h"
#include "app/ServerUrl.h"
#include "server/HTTPRequest.h"
#include "server/ServerReply.h"

namespace {

using Params = std::map<std::string, std::string>;

std::string SerialText(uint32_t serial) {
  char text[16];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

// One request: GET, then the reply's status and verdict. Returns the
// reply's lines (line 0 the verdict) or nothing after logging why.
std::optional<ServerReply::Lines> Exchange(const char* name, const char* url, const Params& params) {
  const std::string base = url ? std::string(url) : UpdateServerRequest::DefaultURL();
  try {
    HTTPResponse response = HTTPRequest::GET(base, params);
    return ServerReply::Read(name, response);
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
    return std::nullopt;
  }
}

// The low 8 bits of one version part read as a decimal int: leading white
// space and a sign allowed, reading stops at the first non-digit.
std::optional<uint8_t> ReadVersionPart(const std::string& part) {
  const char* p = part.c_str();
  char* end = nullptr;
  errno = 0;
  const long value = strtol(p, &end, 10);
  if (end == p || errno != 0 || value < INT_MIN || value > INT_MAX) return std::nullopt;
  return static_cast<uint8_t>(value & 0xFF);
}

struct ReadVersion {
  bool threeParts = false;
  std::optional<std::array<uint8_t, 3>> numbers;
};

ReadVersion Read(const std::string& version) {
  ReadVersion result;
  const std::vector<std::string> parts = UpdateServerRequest::SplitCorvantisVersion(version);
  if (parts.size() != 3) return result;
  result.threeParts = true;
  std::array<uint8_t, 3> numbers{};
  for (size_t i = 0; i < 3; ++i) {
    const auto n = ReadVersionPart(parts[i]);
    if (!n) return result;
    numbers[i] = *n;
  }
  result.numbers = numbers;
  return result;
}

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Reverse of kAlphabet, one table per position in a group of four so that a
// group decodes with four loads and three ORs: position p holds the 6-bit
// value shifted into place, and every byte outside the alphabet has bit 31
// set, which survives the ORs and marks the group bad.
constexpr uint32_t kBadCharacter = 0x80000000u;

struct DecodingTable {
  uint32_t position[4][256];
};

constexpr DecodingTable _build_decoding_table() {
  DecodingTable table{};
  for (int p = 0; p < 4; ++p)
    for (int c = 0; c < 256; ++c) table.position[p][c] = kBadCharacter;
  for (uint32_t v = 0; v < 64; ++v)
    for (int p = 0; p < 4; ++p)
      table.position[p][static_cast<unsigned char>(kAlphabet[v])] = v << (6 * (3 - p));
  return table;
}

constexpr DecodingTable kDecoding = _build_decoding_table();

// Bytes allocated beyond the decoded ones: the terminating zero, and room for
// the wide stores of the decoding loop.
constexpr size_t kDecodeSlack = 3;

uint32_t DecodeGroup(const unsigned char* c) {
  return kDecoding.position[0][c[0]] | kDecoding.position[1][c[1]] | kDecoding.position[2][c[2]] |
         kDecoding.position[3][c[3]];
}

}  // namespace

std::string UpdateServerRequest::DefaultURL() { return DefaultHttpUrl(); }

bool UpdateServerRequest::ping(const char* url) {
  return Exchange("ping", url, {{"op", "hi"}, {"rv", "2"}}).has_value();
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& latestBuild, std::string& firmware,
                                     const char* url) {
  const auto lines = Exchange("QueryBuild", url, {{"op", "qu"}, {"sn", SerialText(serial)}});
  if (!lines) return false;
  ServerReply::ReadQueryBuild(*lines, latestBuild, firmware);
  return true;
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const std::string& firmware, const std::string& build,
                                   std::string& file, const char* url, bool noCal) {
  file.clear();
  auto lines = Exchange("GetBuild", url,
                        {{"bld", build},
                         {"fw", firmware},
                         {"no_cal", noCal ? "true" : "false"},
                         {"op", "bird"},
                         {"sn", SerialText(serial)}});
  if (!lines) return false;
  ServerReply::ReadBuild(*lines, file);
  return true;
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, BuildList& builds, const char* url) {
  builds.clear();
  const auto lines = Exchange("GetBuildList", url, {{"op", "builds"}, {"sn", SerialText(serial)}});
  if (!lines) return false;
  ServerReply::ReadBuildList(*lines, builds);
  return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t (&chipId)[4], uint32_t& serial, uint32_t& build,
                                          const char* url) {
  char fingerprint[64];
  snprintf(fingerprint, sizeof fingerprint, "%08X%%20%08X%%20%08X%%20%08X", chipId[0], chipId[1], chipId[2],
           chipId[3]);
  const auto lines =
      Exchange("GetRecoveryInfo", url, {{"brief", "true"}, {"fp", fingerprint}, {"op", "fix"}});
  return lines && ServerReply::ReadRecoveryInfo(*lines, serial, build);
}

bool UpdateServerRequest::GetDeviceJWT(uint32_t serial, std::string& token, const char* url) {
  const auto lines =
      Exchange("GetDeviceJWT", url, {{"json", "false"}, {"op", "ent_jwt"}, {"sn", SerialText(serial)}});
  return lines && ServerReply::ReadDeviceJWT(*lines, token);
}

std::vector<std::string> UpdateServerRequest::SplitCorvantisVersion(const std::string& version) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    const size_t dot = version.find('.', start);
    parts.push_back(version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos || parts.size() > 3) break;
    start = dot + 1;
  }
  if (parts.size() != 3) parts.clear();
  return parts;
}

bool UpdateServerRequest::_sortVersion(const BuildEntry& a, const BuildEntry& b) {
  const ReadVersion va = Read(a.second);
  const ReadVersion vb = Read(b.second);
  if (va.numbers && vb.numbers) {
    const auto& x = *va.numbers;
    const auto& y = *vb.numbers;
    return !aVersion_IsAtLeastCompare(y[0], y[1], y[2], x[0], x[1], x[2]);
  }
  if ((va.threeParts || vb.threeParts) && (va.numbers.has_value() != vb.numbers.has_value())) {
    const std::string& bad = va.numbers ? b.second : a.second;
    Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion",
             ("not three numbers: '" + bad + "'").c_str());
  }
  // Unreadable versions go after every readable one and tie among themselves.
  return va.numbers.has_value() && !vb.numbers.has_value();
}

std::vector<UpdateServerRequest::BuildEntry> UpdateServerRequest::SortBuildsByVersion(
    const BuildList& builds) {
  std::vector<BuildEntry> list(builds.begin(), builds.end());
  std::stable_sort(list.begin(), list.end(), _sortVersion);
  return list;
}

std::unique_ptr<unsigned char[]> UpdateServerRequest::base64_decode(const char* text, size_t length,
                                                                    size_t* decodedLength) {
  if (text == nullptr || length % 4 != 0) return nullptr;
  size_t padding = 0;
  if (length > 0 && text[length - 1] == '=') padding = text[length - 2] == '=' ? 2 : 1;
  const size_t outLength = length / 4 * 3 - padding;
  std::unique_ptr<unsigned char[]> out(new (std::nothrow) unsigned char[outLength + kDecodeSlack]);
  if (!out) return nullptr;

  const auto* in = reinterpret_cast<const unsigned char*>(text);
  // Every group but the last has no padding; bad characters are collected
  // and checked once at the end.
  const size_t fullGroups = length == 0 ? 0 : length / 4 - 1;
  uint32_t bad = 0;
  unsigned char* o = out.get();
  size_t g = 0;
  // Two groups at a time into one 8-byte store; the buffer's slack takes the
  // two bytes written beyond the six decoded.
  for (; g + 2 <= fullGroups; g += 2, in += 8, o += 6) {
    const uint32_t a = DecodeGroup(in);
    const uint32_t b = DecodeGroup(in + 4);
    bad |= a | b;
    const uint64_t both = __builtin_bswap64(static_cast<uint64_t>(a) << 40 | static_cast<uint64_t>(b) << 16);
    memcpy(o, &both, sizeof both);
  }
  for (; g < fullGroups; ++g, in += 4, o += 3) {
    const uint32_t group = DecodeGroup(in);
    bad |= group;
    o[0] = static_cast<unsigned char>(group >> 16);
    o[1] = static_cast<unsigned char>(group >> 8);
    o[2] = static_cast<unsigned char>(group);
  }
  if (length > 0) {
    // The last group: "=" may stand only in its padding positions.
    unsigned char last[4] = {in[0], in[1], in[2], in[3]};
    for (size_t j = 4 - padding; j < 4; ++j) last[j] = 'A';
    const uint32_t group = DecodeGroup(last);
    bad |= group;
    const unsigned char bytes[3] = {static_cast<unsigned char>(group >> 16),
                                    static_cast<unsigned char>(group >> 8),
                                    static_cast<unsigned char>(group)};
    for (size_t j = 0; j < 3 - padding; ++j) o[j] = bytes[j];
  }
  if (bad & kBadCharacter) return nullptr;
  out[outLength] = 0;
  if (decodedLength) *decodedLength = outLength;
  return out;
}

std::unique_ptr<char[]> UpdateServerRequest::base64_encode(const unsigned char* bytes, size_t count,
                                                           size_t* textLength) {
  if (bytes == nullptr && count != 0) return nullptr;
  if (count > (SIZE_MAX - 1) / 4 * 3 - 2) return nullptr;
  const size_t outLength = (count + 2) / 3 * 4;
  std::unique_ptr<char[]> out(new (std::nothrow) char[outLength + 1]);
  if (!out) return nullptr;
  size_t o = 0;
  for (size_t i = 0; i < count; i += 3) {
    const size_t n = std::min<size_t>(3, count - i);
    uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
    if (n > 1) group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
    if (n > 2) group |= bytes[i + 2];
    out[o++] = kAlphabet[group >> 18 & 0x3F];
    out[o++] = kAlphabet[group >> 12 & 0x3F];
    out[o++] = n > 1 ? kAlphabet[group >> 6 & 0x3F] : '=';
    out[o++] = n > 2 ? kAlphabet[group & 0x3F] : '=';
  }
  out[outLength] = 0;
  if (textLength) *textLength = outLength;
  return out;
}
