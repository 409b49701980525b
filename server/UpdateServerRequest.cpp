#include "server/UpdateServerRequest.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string_view>

#include "Corvantis2/common/aVersion.h"
#include "app/Log.h"
#include "app/ServerUrl.h"
#include "server/HTTPRequest.h"

namespace {

using Params = std::map<std::string, std::string>;

std::string SerialText(uint32_t serial) {
  char text[16];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

// Lines of a reply body: cut at "\n", empty lines dropped, "\r" kept.
std::vector<std::string> ReplyLines(const std::string& body) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find('\n', start);
    if (end == std::string::npos) end = body.size();
    if (end > start) lines.emplace_back(body, start, end - start);
    start = end + 1;
  }
  return lines;
}

std::string CutAtLineEnd(const std::string& text) { return text.substr(0, text.find_first_of("\r\n")); }

// One request: GET, status check, verdict check. Returns the reply's lines
// (line 0 the verdict) or nothing after logging why.
std::optional<std::vector<std::string>> Exchange(const char* name, const char* url, const Params& params) {
  const std::string base = url ? std::string(url) : UpdateServerRequest::DefaultURL();
  std::optional<HTTPResponse> response;
  try {
    response.emplace(HTTPRequest::GET(base, params));
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
    return std::nullopt;
  }
  if (response->get_status() != 200) {
    if (strcmp(name, "ping") == 0)
      Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response->get_status()),
               response->get_response().c_str());
    else
      Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, static_cast<int>(response->get_status()),
               response->get_response().c_str());
    return std::nullopt;
  }
  std::vector<std::string> lines = ReplyLines(response->get_response());
  if (lines.empty() || lines[0].compare(0, 2, "ok") != 0) {
    Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response->get_request().c_str());
    return std::nullopt;
  }
  return lines;
}

// An unsigned 32-bit number filling the whole text (trailing white space such
// as a "\r" allowed); base as strtoul takes it.
std::optional<uint32_t> ReadNumber(const std::string& text, int base) {
  const char* p = text.c_str();
  while (*p == ' ' || *p == '\t') ++p;
  if (!isxdigit(static_cast<unsigned char>(*p))) return std::nullopt;  // no sign, no empty text
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = strtoull(p, &end, base);
  if (end == p || errno != 0 || value > UINT32_MAX) return std::nullopt;
  while (*end == ' ' || *end == '\t' || *end == '\r') ++end;
  if (*end != '\0') return std::nullopt;
  return static_cast<uint32_t>(value);
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

struct DecodingTable {
  int8_t value[256];
};

// Reverse of kAlphabet: -1 for every byte outside it.
constexpr DecodingTable _build_decoding_table() {
  DecodingTable table{};
  for (int i = 0; i < 256; ++i) table.value[i] = -1;
  for (int i = 0; i < 64; ++i) table.value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  return table;
}

constexpr DecodingTable kDecoding = _build_decoding_table();

}  // namespace

std::string UpdateServerRequest::DefaultURL() { return DefaultHttpUrl(); }

bool UpdateServerRequest::ping(const char* url) {
  return Exchange("ping", url, {{"op", "hi"}, {"rv", "2"}}).has_value();
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& latestBuild, std::string& firmware,
                                     const char* url) {
  const auto lines = Exchange("QueryBuild", url, {{"op", "qu"}, {"sn", SerialText(serial)}});
  if (!lines) return false;
  if (lines->size() > 1) latestBuild = (*lines)[1];
  if (lines->size() > 2) firmware = CutAtLineEnd((*lines)[2]);
  return true;
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const std::string& firmware, const std::string& build,
                                   std::string& file, const char* url, bool noCal) {
  file.clear();
  const auto lines = Exchange("GetBuild", url,
                              {{"bld", build},
                               {"fw", firmware},
                               {"no_cal", noCal ? "true" : "false"},
                               {"op", "bird"},
                               {"sn", SerialText(serial)}});
  if (!lines) return false;
  if (lines->size() > 1) file = std::move((*lines)[1]);
  return true;
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, BuildList& builds, const char* url) {
  static const char* const name = "GetBuildList";
  builds.clear();
  const auto lines = Exchange(name, url, {{"op", "builds"}, {"sn", SerialText(serial)}});
  if (!lines) return false;
  for (size_t i = 1; i < lines->size(); ++i) {
    const std::string& line = (*lines)[i];
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", name, line.c_str());
    if (line.size() < 3) continue;
    const size_t cut = line.find_first_of(";\r\n");
    if (cut == 0) continue;
    std::string build = line.substr(0, cut);
    std::string version;
    if (cut != std::string::npos) {
      const size_t next = line.find_first_of(";\r\n", cut + 1);
      version = line.substr(cut + 1, next == std::string::npos ? std::string::npos : next - cut - 1);
    }
    const auto [at, inserted] = builds.emplace(std::move(build), std::move(version));
    if (inserted)
      Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", name, at->first.c_str(), at->second.c_str());
  }
  return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t (&chipId)[4], uint32_t& serial, uint32_t& build,
                                          const char* url) {
  static const char* const name = "GetRecoveryInfo";
  char fingerprint[64];
  snprintf(fingerprint, sizeof fingerprint, "%08X%%20%08X%%20%08X%%20%08X", chipId[0], chipId[1], chipId[2],
           chipId[3]);
  const auto lines = Exchange(name, url, {{"brief", "true"}, {"fp", fingerprint}, {"op", "fix"}});
  if (!lines) return false;
  const std::string none;
  const std::string& serialLine = lines->size() > 1 ? (*lines)[1] : none;
  const std::string& buildLine = lines->size() > 2 ? (*lines)[2] : none;
  Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", name, (*lines)[0].c_str(), serialLine.c_str(),
           buildLine.c_str());
  // Both numbers are checked before either output changes, so a bad reply
  // cannot leave a new serial number paired with an old build.
  std::optional<uint32_t> newSerial, newBuild;
  if (lines->size() > 1 && !(newSerial = ReadNumber(serialLine, 16))) {
    Log::log(DEBUG_ServerComm, "%s: serial number is not a number [%s]\n", name, serialLine.c_str());
    return false;
  }
  if (lines->size() > 2 && !(newBuild = ReadNumber(buildLine, 0))) {
    Log::log(DEBUG_ServerComm, "%s: build number is not a number [%s]\n", name, buildLine.c_str());
    return false;
  }
  if (newSerial) serial = *newSerial;
  if (newBuild) build = *newBuild;
  return true;
}

bool UpdateServerRequest::GetDeviceJWT(uint32_t serial, std::string& token, const char* url) {
  static const char* const name = "GetDeviceJWT";
  const auto lines = Exchange(name, url, {{"json", "false"}, {"op", "ent_jwt"}, {"sn", SerialText(serial)}});
  if (!lines) return false;
  if (lines->size() < 2) {
    Log::log(DEBUG_ServerComm, "%s: no token in reply\n", name);
    return false;
  }
  const std::string& line = (*lines)[1];
  Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", name, line.c_str());
  const size_t dot1 = line.find('.');
  const size_t dot2 = dot1 == std::string::npos ? std::string::npos : line.find('.', dot1 + 1);
  if (line.size() <= 2 || dot2 == std::string::npos) {
    Log::log(DEBUG_ServerComm, "%s: malformed token [%s]\n", name, line.c_str());
    return false;
  }
  const std::string header = line.substr(0, dot1);
  const std::string payload = line.substr(dot1 + 1, dot2 - dot1 - 1);
  const std::string signature = CutAtLineEnd(line.substr(dot2 + 1));
  if (header.size() < 2 || payload.size() < 2 || signature.size() < 2) {
    Log::log(DEBUG_ServerComm, "%s: malformed token [%s]\n", name, line.c_str());
    return false;
  }
  token = header + "." + payload + "." + signature;
  return true;
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
  std::unique_ptr<unsigned char[]> out(new (std::nothrow) unsigned char[outLength + 1]);
  if (!out) return nullptr;
  size_t o = 0;
  for (size_t i = 0; i < length; i += 4) {
    uint32_t group = 0;
    for (size_t j = 0; j < 4; ++j) {
      const unsigned char c = static_cast<unsigned char>(text[i + j]);
      int v = kDecoding.value[c];
      if (v < 0) {
        // "=" only fills the last group's tail.
        if (c != '=' || i + j < length - padding) return nullptr;
        v = 0;
      }
      group = group << 6 | static_cast<uint32_t>(v);
    }
    const unsigned char bytes[3] = {static_cast<unsigned char>(group >> 16),
                                    static_cast<unsigned char>(group >> 8),
                                    static_cast<unsigned char>(group)};
    for (size_t j = 0; j < 3 && o < outLength; ++j) out[o++] = bytes[j];
  }
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
