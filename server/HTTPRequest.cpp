#include "server/HTTPRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "app/Log.h"

namespace {

std::mutex settingsMutex;
HTTPSettings settings;  // guarded by settingsMutex
// settings.maxBodyBytes again, for the receive callback's every chunk.
std::atomic<size_t> maxBodyBytes{HTTPSettings{}.maxBodyBytes};

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

}  // namespace

void HTTPRequest::Configure(const HTTPSettings& newSettings) {
  std::lock_guard<std::mutex> lock(settingsMutex);
  settings = newSettings;
  maxBodyBytes = newSettings.maxBodyBytes;
}

HTTPSettings HTTPRequest::Settings() {
  std::lock_guard<std::mutex> lock(settingsMutex);
  return settings;
}

std::string HTTPRequest::BuildURL(const std::string& base, const std::map<std::string, std::string>& params) {
  std::string url = base;
  if (!params.empty()) url += '?';
  for (const auto& [key, value] : params) {
    url += key;
    url += '=';
    url += value;
    url += '&';
  }
  return url;
}

size_t _rcv_data(char* bytes, size_t size, size_t count, void* context) {
  auto* response = static_cast<HTTPResponse*>(context);
  const size_t total = size * count;  // libcurl always passes size 1
  Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n", static_cast<int>(size),
           static_cast<int>(count), static_cast<unsigned>(reinterpret_cast<uintptr_t>(context)),
           static_cast<int>(std::min<size_t>(total, 100)), bytes);
  const size_t limit = maxBodyBytes.load();
  const size_t have = response->get_response().size();
  if (have > limit || total > limit - have) {
    Log::log(DEBUG_ServerComm, "rcv_data: reply body exceeds %zu bytes\n", limit);
    return 0;
  }
  response->process(bytes, total);
  Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(total));
  return total;
}

HTTPResponse HTTPRequest::GET(const std::string& base, const std::map<std::string, std::string>& params) {
  HTTPResponse response(BuildURL(base, params));
  const HTTPSettings config = Settings();

  // libcurl's global set-up is not safe to race; run it once, whichever
  // thread asks first.
  static std::once_flag globalInit;
  std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) throw std::runtime_error("Could not create curl instance");
  CURL* h = curl.get();

  // Stop at the first option libcurl refuses.
  CURLcode rc = curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, _rcv_data);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_URL, response.get_request().c_str());
  // Firmware comes over this connection: the server's certificate chain and
  // host name are both verified.
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYSTATUS, 0L);
  if (rc == CURLE_OK && !config.caBundle.empty())
    rc = curl_easy_setopt(h, CURLOPT_CAINFO, config.caBundle.c_str());
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  // Runs on the download worker too: no signals for time-outs.
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, config.connectTimeoutSeconds);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, config.stallTimeoutSeconds);

  if (rc == CURLE_OK) {
    Log::log(DEBUG_ServerComm, "GET(%s)\n", response.get_request().c_str());
    rc = curl_easy_perform(h);
  }
  long status = 0;
  if (rc == CURLE_OK) rc = curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (rc != CURLE_OK) throw std::runtime_error(curl_easy_strerror(rc));

  response.set_status(status);
  return response;
}
