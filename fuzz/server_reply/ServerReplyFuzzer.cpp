// Feeds arbitrary bytes to the update server's reply readers as a reply body,
// and to base64 and the build ordering behind them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/HTTPRequest.h"
#include "server/ServerReply.h"
#include "server/UpdateServerRequest.h"

namespace {

void Check(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  HTTPResponse response("http://fuzz.invalid/cgi/u?op=qu&");
  // The first byte also picks an unusual status now and then.
  response.set_status(size > 0 && data[0] == 0xFF ? 500 : 200);
  response.process(body.data(), body.size());

  auto lines = ServerReply::Read("QueryBuild", response);
  if (!lines) return 0;
  std::string build, firmware;
  ServerReply::ReadQueryBuild(*lines, build, firmware);
  Check(firmware.find_first_of("\r\n") == std::string::npos);

  std::map<std::string, std::string> builds;
  ServerReply::ReadBuildList(*lines, builds);
  for (const auto& [key, version] : builds) {
    Check(!key.empty() && key.find_first_of(";\r\n") == std::string::npos);
    Check(version.find_first_of(";\r\n") == std::string::npos);
  }
  const auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
  Check(sorted.size() == builds.size());
  for (size_t i = 1; i < sorted.size(); ++i) Check(!UpdateServerRequest::_sortVersion(sorted[i], sorted[i - 1]));

  uint32_t serial = 1, recoveryBuild = 2;
  ServerReply::ReadRecoveryInfo(*lines, serial, recoveryBuild);

  std::string token;
  if (ServerReply::ReadDeviceJWT(*lines, token)) {
    const size_t dot1 = token.find('.');
    Check(dot1 >= 2 && token.find('.', dot1 + 1) != std::string::npos);
  }

  std::string file;
  ServerReply::ReadBuild(*lines, file);
  size_t decodedLength = 0;
  auto decoded = UpdateServerRequest::base64_decode(file.data(), file.size(), &decodedLength);
  if (decoded) {
    Check(decodedLength <= file.size() / 4 * 3 && decoded[decodedLength] == 0);
    size_t textLength = 0;
    auto again = UpdateServerRequest::base64_encode(decoded.get(), decodedLength, &textLength);
    Check(again && textLength == file.size());
  }

  // Any bytes survive a round trip.
  size_t textLength = 0;
  auto text = UpdateServerRequest::base64_encode(data, size, &textLength);
  Check(text != nullptr);
  auto back = UpdateServerRequest::base64_decode(text.get(), textLength, &decodedLength);
  Check(back && decodedLength == size && (size == 0 || memcmp(back.get(), data, size) == 0));
  return 0;
}
