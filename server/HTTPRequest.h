// One HTTP(S) GET per call on libcurl's easy interface. Knows nothing of the
// update server's reply grammar (UpdateServerRequest parses the body).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

class HTTPResponse {
 public:
  explicit HTTPResponse(const std::string& request) : request_(request) {}

  // Modifiable: the reply parser cuts it into lines in place.
  std::string& get_response() { return response_; }
  int64_t get_status() const { return status_; }
  const std::string& get_request() const { return request_; }
  void set_status(int64_t status) { status_ = status; }
  void process(const char* bytes, size_t count) { response_.append(bytes, count); }

 private:
  std::string request_;
  int64_t status_ = 0;
  std::string response_;
};

// Transport settings shared by every request of the process. Set them once,
// before the first request; requests only read them.
struct HTTPSettings {
  // CA bundle that verifies the server's certificate chain (CURLOPT_CAINFO);
  // empty means the system's bundle.
  std::string caBundle;
  // A connection attempt gives up after this long.
  long connectTimeoutSeconds = 30;
  // A transfer that moves less than one byte per second for this long is
  // abandoned, so a server that stops answering cannot hang the updater.
  long stallTimeoutSeconds = 60;
  // Upper bound on a reply body; a larger one fails the request.
  size_t maxBodyBytes = size_t{256} << 20;
};

class HTTPRequest {
 public:
  // GETs base?key=value&key=value& (keys ascending, nothing escaped; an empty
  // map requests base unchanged). Throws std::runtime_error with libcurl's
  // error text on any transport failure; an HTTP error status is returned,
  // not thrown.
  static HTTPResponse GET(const std::string& base, const std::map<std::string, std::string>& params);

  // The URL GET requests for base and params.
  static std::string BuildURL(const std::string& base, const std::map<std::string, std::string>& params);

  static void Configure(const HTTPSettings& settings);
  static HTTPSettings Settings();
};

// libcurl write callback; context is the HTTPResponse being filled. Returns
// the bytes taken: all of them, or 0 (abort) when the body would pass the
// configured limit.
size_t _rcv_data(char* bytes, size_t size, size_t count, void* context);
