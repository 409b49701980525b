#include "server/ServerReply.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/Log.h"
#include "server/HTTPRequest.h"

namespace ServerReply {
namespace {

// Lines of a reply body: cut at "\n", empty lines dropped, "\r" kept.
Lines SplitLines(const std::string& body) {
  Lines lines;
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

// An unsigned 32-bit number filling the whole text (trailing white space such
// as a "\r" allowed); base as strtoul takes it. No sign, no empty text.
std::optional<uint32_t> ReadNumber(const std::string& text, int base) {
  const char* p = text.c_str();
  while (*p == ' ' || *p == '\t') ++p;
  if (!isxdigit(static_cast<unsigned char>(*p))) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = strtoull(p, &end, base);
  if (end == p || errno != 0 || value > UINT32_MAX) return std::nullopt;
  while (*end == ' ' || *end == '\t' || *end == '\r') ++end;
  if (*end != '\0') return std::nullopt;
  return static_cast<uint32_t>(value);
}

}  // namespace

std::optional<Lines> Read(const char* name, HTTPResponse& response) {
  if (response.get_status() != 200) {
    if (strcmp(name, "ping") == 0)
      Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()),
               response.get_response().c_str());
    else
      Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, static_cast<int>(response.get_status()),
               response.get_response().c_str());
    return std::nullopt;
  }
  Lines lines = SplitLines(response.get_response());
  if (lines.empty() || lines[0].compare(0, 2, "ok") != 0) {
    Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request().c_str());
    return std::nullopt;
  }
  return lines;
}

void ReadQueryBuild(const Lines& lines, std::string& latestBuild, std::string& firmware) {
  if (lines.size() > 1) latestBuild = lines[1];
  if (lines.size() > 2) firmware = CutAtLineEnd(lines[2]);
}

void ReadBuild(Lines& lines, std::string& file) {
  file.clear();
  if (lines.size() > 1) file = std::move(lines[1]);
}

void ReadBuildList(const Lines& lines, std::map<std::string, std::string>& builds) {
  static const char* const name = "GetBuildList";
  builds.clear();
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", name, line.c_str());
    if (line.size() < 3) continue;
    const size_t cut = line.find_first_of(";\r\n");
    if (cut == 0) continue;  // no build number
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
}

bool ReadRecoveryInfo(const Lines& lines, uint32_t& serial, uint32_t& build) {
  static const char* const name = "GetRecoveryInfo";
  const std::string none;
  const std::string& serialLine = lines.size() > 1 ? lines[1] : none;
  const std::string& buildLine = lines.size() > 2 ? lines[2] : none;
  Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", name, lines.empty() ? "" : lines[0].c_str(),
           serialLine.c_str(), buildLine.c_str());
  // Both numbers are checked before either output changes, so a bad reply
  // cannot pair a new serial number with an old build.
  std::optional<uint32_t> newSerial, newBuild;
  if (lines.size() > 1 && !(newSerial = ReadNumber(serialLine, 16))) {
    Log::log(DEBUG_ServerComm, "%s: serial number is not a number [%s]\n", name, serialLine.c_str());
    return false;
  }
  if (lines.size() > 2 && !(newBuild = ReadNumber(buildLine, 0))) {
    Log::log(DEBUG_ServerComm, "%s: build number is not a number [%s]\n", name, buildLine.c_str());
    return false;
  }
  if (newSerial) serial = *newSerial;
  if (newBuild) build = *newBuild;
  return true;
}

bool ReadDeviceJWT(const Lines& lines, std::string& token) {
  static const char* const name = "GetDeviceJWT";
  if (lines.size() < 2) {
    Log::log(DEBUG_ServerComm, "%s: no token in reply\n", name);
    return false;
  }
  const std::string& line = lines[1];
  Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", name, line.c_str());
  const size_t dot1 = line.find('.');
  const size_t dot2 = dot1 == std::string::npos ? std::string::npos : line.find('.', dot1 + 1);
  if (line.size() > 2 && dot2 != std::string::npos) {
    const std::string header = line.substr(0, dot1);
    const std::string payload = line.substr(dot1 + 1, dot2 - dot1 - 1);
    const std::string signature = CutAtLineEnd(line.substr(dot2 + 1));
    if (header.size() >= 2 && payload.size() >= 2 && signature.size() >= 2) {
      token = header + "." + payload + "." + signature;
      return true;
    }
  }
  Log::log(DEBUG_ServerComm, "%s: malformed token [%s]\n", name, line.c_str());
  return false;
}

}  // namespace ServerReply
