// Everything the updater asks the maker's update server.
//
// Each request is one GET to scheme://host/cgi/u with its arguments in the
// query string (see HTTPRequest for how the URL is built):
//
//   ping             op=hi rv=2
//   QueryBuild       op=qu sn=SERIAL
//   GetBuild         bld=BUILD fw=FIRMWARE no_cal=true|false op=bird sn=SERIAL
//   GetBuildList     op=builds sn=SERIAL
//   GetRecoveryInfo  brief=true fp=W0%20W1%20W2%20W3 op=fix
//   GetDeviceJWT     json=false op=ent_jwt sn=SERIAL
//
// SERIAL and the words Wn are 8 upper-case hex digits. A reply counts only
// with HTTP 200; its body is read as lines (runs of "\n" are one break, so
// empty lines vanish). Line 1 must begin with "ok"; the result lines follow:
//
//   QueryBuild       latest build number, firmware identifier
//   GetBuild         the BIRD file in base64 on one line
//   GetBuildList     one "BUILD;VERSION" line per build
//   GetRecoveryInfo  serial number (hex), recovery build (0x.. hex, 0.. octal, decimal)
//   GetDeviceJWT     HEADER.PAYLOAD.SIGNATURE
//
// A carriage return is part of a value except where a line is cut at it
// (QueryBuild's firmware identifier, the build list's fields, the token).
// No request throws; a failure is false plus one DEBUG_ServerComm log line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class UpdateServerRequest {
 public:
  using BuildList = std::map<std::string, std::string>;    // build number text -> version text
  using BuildEntry = std::pair<std::string, std::string>;  // (build number, version)

  // The built-in endpoint, used when a request's url is null.
  static std::string DefaultURL();

  static bool ping(const char* url = nullptr);
  // An absent result line leaves its output unchanged.
  static bool QueryBuild(uint32_t serial, std::string& latestBuild, std::string& firmware,
                         const char* url = nullptr);
  // file is emptied first and stays empty when the reply carries no file line.
  static bool GetBuild(uint32_t serial, const std::string& firmware, const std::string& build,
                       std::string& file, const char* url = nullptr, bool noCal = false);
  // builds is emptied first; the first line for a build number wins.
  static bool GetBuildList(uint32_t serial, BuildList& builds, const char* url = nullptr);
  // An absent result line leaves its output unchanged; a line that is not a
  // number fails the request.
  static bool GetRecoveryInfo(const uint32_t (&chipId)[4], uint32_t& serial, uint32_t& build,
                              const char* url = nullptr);
  // True only when the reply held a well-formed token.
  static bool GetDeviceJWT(uint32_t serial, std::string& token, const char* url = nullptr);

  // Newest version first. Versions that are not three numbers come after all
  // readable ones; equal versions keep build-number (key) order.
  static std::vector<BuildEntry> SortBuildsByVersion(const BuildList& builds);
  // "a.b.c" -> {a, b, c}; anything that does not cut into exactly three parts
  // at "." -> {}.
  static std::vector<std::string> SplitCorvantisVersion(const std::string& version);
  // Ordering test of SortBuildsByVersion: a sorts before b.
  static bool _sortVersion(const BuildEntry& a, const BuildEntry& b);

  // RFC 4648 base64 ("+", "/", "=" padding, no line breaks). Both return a
  // new buffer owned by the caller, with a zero byte after the counted
  // bytes, or null when the input is refused (decode: length not a multiple
  // of 4, a character outside the alphabet, padding anywhere but the end).
  static std::unique_ptr<unsigned char[]> base64_decode(const char* text, size_t length,
                                                        size_t* decodedLength);
  static std::unique_ptr<char[]> base64_encode(const unsigned char* bytes, size_t count, size_t* textLength);
};
