#include "sim/vusb/RunConfig.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "sim/vmodule/Config.h"

namespace vusb {

namespace {

bool ParseHex(const std::string& text, unsigned long maximum, unsigned long* value) {
  if (text.empty() || text.size() > 8) return false;
  char* end = nullptr;
  const unsigned long parsed = std::strtoul(text.c_str(), &end, 16);
  if (*end || parsed > maximum) return false;
  *value = parsed;
  return true;
}

// A 16-bit identifier: a number or a hexadecimal string ("1209").
bool Id16(const nlohmann::json& j, const char* key, uint16_t* out, std::string* error) {
  if (!j.contains(key)) return true;
  unsigned long value = 0;
  const auto& v = j[key];
  const bool ok = v.is_string() ? ParseHex(v.get<std::string>(), 0xFFFF, &value)
                                : v.is_number_unsigned() && (value = v.get<unsigned long>()) <= 0xFFFF;
  if (!ok) *error = std::string("bad ") + key;
  *out = static_cast<uint16_t>(value);
  return ok;
}

bool DeviceFromJson(const nlohmann::json& j, const std::filesystem::path& base, DeviceConfig* d,
                    std::string* error) {
  if (!Id16(j, "vendor", &d->spec.vendor, error) || !Id16(j, "product", &d->spec.product, error) ||
      !Id16(j, "max_packet", &d->spec.maxPacket, error))
    return false;
  if (d->spec.maxPacket == 0) return *error = "bad max_packet", false;
  if (j.contains("serial")) {
    if (!j["serial"].is_string() || j["serial"].get<std::string>().size() > 126)
      return *error = "bad serial", false;
    d->spec.serial = j["serial"].get<std::string>();
  }
  for (auto [key, field] :
       {std::pair{"busy", &d->busy}, std::pair{"data_interface", &d->spec.dataInterface}}) {
    if (!j.contains(key)) continue;
    if (!j[key].is_boolean()) return *error = std::string("bad ") + key, false;
    *field = j[key].get<bool>();
  }
  d->hasModule = d->spec.vendor == kCorvantisVendor && !(d->spec.product & 0x8000);
  if (j.contains("module")) {
    if (!j["module"].is_boolean()) return *error = "bad module", false;
    d->hasModule = j["module"].get<bool>();
  }
  // The module: one with the device's serial number and model, or the
  // modules of a vmodule configuration file.
  vmodule::ModuleIdentity& m = d->module.modules.front();
  unsigned long serial = 0;
  if (ParseHex(d->spec.serial, 0xFFFFFFFFul, &serial)) m.serial = static_cast<uint32_t>(serial);
  m.model = static_cast<uint8_t>(d->spec.product & 0xFF);
  if (j.contains("vmodule")) {
    if (!j["vmodule"].is_string()) return *error = "bad vmodule", false;
    std::filesystem::path file = j["vmodule"].get<std::string>();
    if (file.is_relative()) file = base / file;
    if (!vmodule::LoadConfig(file.string(), &d->module, error)) return false;
  }
  if (j.contains("heartbeat_ms")) {
    if (!j["heartbeat_ms"].is_number_unsigned()) return *error = "bad heartbeat_ms", false;
    d->module.heartbeatMs = j["heartbeat_ms"].get<uint32_t>();
  }
  d->module.tcpPort = -1;
  d->module.ptyLink.clear();
  return true;
}

}  // namespace

bool LoadRunConfig(const std::string& path, std::vector<DeviceConfig>* devices, std::string* error) {
  std::ifstream in(path);
  if (!in) return *error = "cannot read " + path, false;
  nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
  if (j.is_discarded() || !j.is_object() || !j.contains("devices") || !j["devices"].is_array())
    return *error = path + ": expected an object with a \"devices\" array", false;
  const std::filesystem::path base = std::filesystem::path(path).parent_path();
  devices->clear();
  for (const auto& entry : j["devices"]) {
    DeviceConfig d;
    if (!entry.is_object() || !DeviceFromJson(entry, base, &d, error)) {
      *error = path + ": device " + std::to_string(devices->size()) + ": " + *error;
      return false;
    }
    devices->push_back(std::move(d));
  }
  return true;
}

}  // namespace vusb
