// Reading the update server's replies, apart from the transport so that any
// bytes can be fed to it (tests, fuzzing). The grammar is described in
// UpdateServerRequest.h. Every function logs under DEBUG_ServerComm; name is
// the request's name in those lines.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

class HTTPResponse;

namespace ServerReply {

using Lines = std::vector<std::string>;

// The reply's lines (line 0 the verdict) when it counts: status 200 and a
// first line beginning with "ok". Otherwise nothing, after one log line.
std::optional<Lines> Read(const char* name, HTTPResponse& response);

// Each reader takes the lines of a reply that counts. An absent line leaves
// its output unchanged unless said otherwise.
void ReadQueryBuild(const Lines& lines, std::string& latestBuild, std::string& firmware);
// file is emptied first.
void ReadBuild(Lines& lines, std::string& file);
// builds is emptied first.
void ReadBuildList(const Lines& lines, std::map<std::string, std::string>& builds);
// False (outputs unchanged) when a line present is not a number.
bool ReadRecoveryInfo(const Lines& lines, uint32_t& serial, uint32_t& build);
// False (token unchanged) without a well-formed token.
bool ReadDeviceJWT(const Lines& lines, std::string& token);

}  // namespace ServerReply
