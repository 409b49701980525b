// The Updater commands that talk to the update server or list builds: -G
// (download into the store), -B (server build list), -L (local build list)
// and -J (device token), with the store factory the flows share.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <future>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "app/Log.h"
#include "app/Printers.h"
#include "app/Updater.h"
#include "app/UpdaterDevices.h"
#include "server/UpdateServerRequest.h"
#include "store/BirdFile.h"
#include "store/BuildPath.h"
#include "store/UpdaterStore.h"

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr auto kSpinnerPeriod = std::chrono::milliseconds(100);

// A build number typed by the user: decimal digits only, within 32 bits.
// "12abc", "-1", " 7" and "4294967296" are not build numbers.
std::optional<uint32_t> ParseBuildText(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  errno = 0;
  const unsigned long long value = strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || value > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(value);
}

}  // namespace

// A build number sent by the server: as ParseBuildText, with surrounding white space
// (a "\r" left by a CR LF reply) allowed. Logs and gives nothing otherwise.
std::optional<uint32_t> ParseServerBuild(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  const size_t last = text.find_last_not_of(" \t\r\n");
  const auto value =
      first == std::string::npos ? std::nullopt : ParseBuildText(text.substr(first, last - first + 1));
  if (!value) Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
  return value;
}

std::string LocalTimeText() {
  const time_t now = time(nullptr);
  char text[64] = "";
  if (ctime_r(&now, text) == nullptr) return "";
  std::string result = text;
  if (!result.empty()) result.pop_back();  // ctime's newline
  return result;
}


std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& root,
                                                  const char* name) {
  try {
    return std::make_unique<UpdaterStore>(root);
  } catch (const std::runtime_error& e) {
    display.message(ERROR, "Failed to Create UpdaterStore in: %s - Exception: %s", name, e.what());
    return nullptr;
  }
}

bool _valid_build(uint32_t serial, uint32_t build, const char* url) {
  UpdateServerRequest::BuildList list;
  if (!UpdateServerRequest::GetBuildList(serial, list, url)) return false;
  for (const auto& entry : list) {
    // A key that is not a number matches no build, not even 0.
    const auto key = ParseServerBuild(entry.first);
    if (key && *key == build) return true;
  }
  return false;
}

uint32_t Updater::Download_Firmware(uint32_t serial, const std::string& buildText, bool override,
                                    bool noCalibration) {
  uint32_t build = 0;
  if (!buildText.empty()) {
    const auto parsed = ParseBuildText(buildText);
    if (!parsed) {
      display.message(ERROR, "Build number '%s' must be an number", buildText.c_str());
      return 0;
    }
    build = *parsed;
  }
  if (serial == 0) {
    display.message(ERROR, "Serial Number must be non-zero");
    return 0;
  }
  const char* url = server_url.c_str();
  if (!UpdateServerRequest::ping(url)) {
    display.message(ERROR, "Server request failed for %s", url);
    return 0;
  }
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, store_root, "Download_Firmware");
  if (!store) return 0;
  UpdaterStoreItem device;
  if (!store->FindDevice(serial, &device)) {
    Log::log(DEBUG_APP, "Could not find device in our update history.\n");
    try {
      device = store->AddDevice(serial);
    } catch (const std::runtime_error&) {
      display.message(ERROR, "Could not create directory for storing BIRD file");
      return 0;
    }
  }

  std::string latestText, firmwareText;
  if (!UpdateServerRequest::QueryBuild(serial, latestText, firmwareText, url)) {
    display.message(ERROR, "No build information for device");
    return 0;
  }
  if (build == 0) build = ParseServerBuild(latestText).value_or(0);
  display.message(INFO, "Retrieving build %u", build);
  if (override) {
    display.message(INFO, "Override specified, skipping validation of build %u", build);
  } else {
    display.message(INFO, "Validating build %u with server", build);
    if (!_valid_build(serial, build, url)) {
      display.message(ERROR, "No valid build %u", build);
      return 0;
    }
    display.message(INFO, "Build %u is valid", build);
  }

  // The file request runs on a worker while this thread turns the spinner.
  // The worker owns copies of its inputs and writes only `file` and the
  // promise; `file` is read here only after the worker has been joined.
  const std::string buildNumber = std::to_string(build);
  std::string file;
  std::promise<bool> done;
  std::future<bool> result = done.get_future();
  std::thread worker;
  try {
    worker = std::thread([url = server_url, serial, firmwareText, buildNumber, noCalibration, &file, &done] {
      bool ok = false;
      try {
        ok = UpdateServerRequest::GetBuild(serial, firmwareText, buildNumber, file, url.c_str(),
                                           noCalibration);
      } catch (const std::exception& e) {  // out of memory for the reply
        Log::log(DEBUG_Updater, "Download_Firmware: %s\n", e.what());
      }
      done.set_value(ok);
    });
  } catch (const std::system_error& e) {
    Log::log(DEBUG_Updater, "Download_Firmware: cannot start the download thread: %s\n", e.what());
    done.set_value(false);
  }
  display.update_spinner(true, "Downloading");
  while (result.wait_for(kSpinnerPeriod) != std::future_status::ready)
    display.update_spinner(true, "Downloading");
  display.update_spinner(false, "Downloading");
  const bool downloaded = result.get();
  if (worker.joinable()) worker.join();
  if (!downloaded) display.message(ERROR, "Download failed");
  if (file.empty()) {
    display.message(ERROR, "Failed to retrieve a valid BIRD file");
    return 0;
  }

  // Only a file that decodes and loads as a BIRD file reaches the store, and
  // it arrives whole: written under a hidden name, checked, then renamed.
  const std::string fileName = buildNumber + ".bird";
  size_t length = 0;
  auto bytes = UpdateServerRequest::base64_decode(file.data(), file.size(), &length);
  if (!bytes) {
    display.message(ERROR, "Failed to retrieve a valid BIRD file");
    Log::log(DEBUG_Updater, "Download_Firmware: reply for build %u is not base64\n", build);
    return 0;
  }
  const std::string directory = BuildPath(device.basePath.c_str(), device.name.c_str(), nullptr);
  const std::string stagingName = "." + fileName + ".download";
  const std::string stagingPath = BuildPath(directory.c_str(), stagingName.c_str(), nullptr);
  const std::string finalPath = BuildPath(directory.c_str(), fileName.c_str(), nullptr);
  const std::string now = LocalTimeText();
  const aErr written = device.WriteFile(stagingName, bytes.get(), length);
  bytes.reset();
  if (written != aErrNone) {
    display.message(ERROR, "Failed to write file with %d", static_cast<int>(written));
    remove(stagingPath.c_str());
    return 0;
  }
  bool loads = BirdFile::VerifyFile(stagingPath);
  if (loads) {
    try {
      BirdFile check(stagingPath);
    } catch (const std::runtime_error&) {
      loads = false;
    }
  }
  if (!loads) {
    remove(stagingPath.c_str());
    display.message(ERROR, "Failed to retrieve a valid BIRD file");
    Log::log(DEBUG_Updater, "Download_Firmware: build %u does not load as a BIRD file\n", build);
    return 0;
  }
  if (rename(stagingPath.c_str(), finalPath.c_str()) != 0) {
    Log::log(DEBUG_Updater, "Download_Firmware: rename to %s failed (errno %d)\n", finalPath.c_str(), errno);
    remove(stagingPath.c_str());
    display.message(ERROR, "Failed to write file with %d", static_cast<int>(aErrIO));
    return 0;
  }

  device.settings.Add("LATEST_DOWNLOAD", fileName);
  device.settings.Add("LAST_DOWNLOAD_DATE", now);
  device.settings.Save();
  return build;
}

uint32_t Updater::Download_Firmware(const Fingerprint& fingerprint, const std::string& buildText,
                                    bool override) {
  uint32_t build = 0;
  if (const auto parsed = ParseBuildText(buildText)) {
    build = *parsed;
  } else {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", buildText.c_str());
  }
  uint32_t serial = 0, recoveryBuild = 0;
  if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.word, serial, recoveryBuild, server_url.c_str())) {
    display.message(ERROR, "Failed to retrieve recovery information from Vorantix update server");
    return 0;
  }
  if (build == 0) build = recoveryBuild;
  return Download_Firmware(serial, std::to_string(build), override, false);
}

BuildList Updater::Get_BuildList(uint32_t serial) {
  BuildList list;
  if (!UpdateServerRequest::ping(server_url.c_str())) {
    display.message(ERROR, "Server request failed for %s", server_url.c_str());
  } else if (!UpdateServerRequest::GetBuildList(serial, list, server_url.c_str())) {
    display.message(ERROR, "Failed to retrieve builds for %08X", serial);
    list.clear();
  }
  return list;
}

std::string Updater::Get_JWT(uint32_t serial) {
  std::string token;
  if (!UpdateServerRequest::ping(server_url.c_str())) {
    display.message(ERROR, "Server request failed for %s", server_url.c_str());
  } else if (!UpdateServerRequest::GetDeviceJWT(serial, token, server_url.c_str())) {
    display.message(ERROR, "Failed to retrieve jwt for %08X", serial);
    token.clear();
  }
  return token;
}

BuildList Updater::Get_BuildListLocal(uint32_t serial) {
  BuildList list;
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, store_root, "Get_BuildListLocal");
  if (!store) return list;
  std::vector<UpdaterStoreItem> items;
  store->FindLocalBuilds(serial, items);
  for (const UpdaterStoreItem& item : items) {
    const size_t bird = item.name.find(".bird");
    const std::string key = item.name.substr(0, bird);
    std::string version;
    const std::string path = item.basePath + "/" + item.name;
    if (BirdFile::VerifyFile(path)) {
      try {
        version = BirdFile(path).GetVersion();
        if (!version.empty())
          Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
      } catch (const std::runtime_error& e) {
        // Its header is fine but its payload is not: listed without a version.
        Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
      }
    } else {
      Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
    }
    list.emplace(key, version);
  }
  return list;
}

void _display_builds(CLI_Display& display, const BuildList& list, uint32_t serial) {
  if (list.empty()) {
    display.message(INFO, "No builds found for device [%08X]", serial);
    return;
  }
  display.message(INFO, "Build List for device [%08X]:\n", serial);
  display.message(INFO, "%-15.15s\t%-15.15s", "Build", "Version");
  for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(list))
    display.message(INFO, "%-15.15s\t%-15.15s", build.c_str(), version.c_str());
}
