#include "sim/vmodule/Config.h"

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

namespace vmodule {

const char* const kUsage =
    "usage: vmodule [--serial HEX] [--model N] [--address N] [--version A.B.C] [--build N]\n"
    "               [--name TEXT] [--config FILE] [--tcp PORT] [--pty-link PATH]\n"
    "               [--heartbeat MS] [--stream-interval MS] [--discovery-if ADDR]... [--no-discovery]\n"
    "               [--loader-block-size N] [--flash-out FILE]\n"
    "               [--loader-restart-ms MS] [--loader-reboot-ms MS] [--loader-knob NAME=VALUE]...\n";

namespace {

bool ParseUnsigned(const std::string& text, int base, unsigned long maximum, unsigned long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long parsed = std::strtoul(text.c_str(), &end, base);
  if (errno || *end || text[0] == '-' || parsed > maximum) return false;
  *value = parsed;
  return true;
}

// NAME=VALUE with a known loader knob name and a decimal value.
bool ParseLoaderKnob(const std::string& text, Options* options) {
  const size_t equals = text.find('=');
  if (equals == std::string::npos) return false;
  const std::string name = text.substr(0, equals);
  unsigned long value = 0;
  if (!IsLoaderKnob(name) || !ParseUnsigned(text.substr(equals + 1), 10, 0xFFFFFFFFul, &value)) return false;
  options->loaderKnobs.emplace_back(name, static_cast<uint32_t>(value));
  return true;
}

bool ModuleFromJson(const nlohmann::json& j, ModuleIdentity* m, std::string* error) {
  unsigned long value = 0;
  if (j.contains("serial")) {
    const auto& s = j["serial"];
    if (s.is_string() ? !ParseUnsigned(s.get<std::string>(), 16, 0xFFFFFFFFul, &value)
                      : !s.is_number_unsigned() || (value = s.get<unsigned long>()) > 0xFFFFFFFFul) {
      *error = "bad serial";
      return false;
    }
    m->serial = static_cast<uint32_t>(value);
  }
  auto byteField = [&](const char* key, uint8_t* out) {
    if (!j.contains(key)) return true;
    if (!j[key].is_number_unsigned() || j[key].get<unsigned long>() > 255) {
      *error = std::string("bad ") + key;
      return false;
    }
    *out = static_cast<uint8_t>(j[key].get<unsigned long>());
    return true;
  };
  if (!byteField("model", &m->model) || !byteField("address", &m->address)) return false;
  if (j.contains("version") &&
      (!j["version"].is_string() || !ParseVersion(j["version"].get<std::string>(), m))) {
    *error = "bad version";
    return false;
  }
  if (j.contains("build")) {
    if (!j["build"].is_number_unsigned() || j["build"].get<unsigned long>() > 0xFFFFFFFFul) {
      *error = "bad build";
      return false;
    }
    m->build = static_cast<uint32_t>(j["build"].get<unsigned long>());
  }
  if (j.contains("name")) {
    if (!j["name"].is_string()) {
      *error = "bad name";
      return false;
    }
    m->name = j["name"].get<std::string>();
  }
  if (j.contains("slots")) {
    if (!j["slots"].is_array()) {
      *error = "\"slots\" must be an array";
      return false;
    }
    m->slots.clear();
    for (const auto& slot : j["slots"]) {
      auto field = [&](const char* key, unsigned long maximum, unsigned long* out) {
        if (!slot.is_object() || !slot.contains(key) || !slot[key].is_number_unsigned() ||
            slot[key].get<unsigned long>() > maximum)
          return false;
        *out = slot[key].get<unsigned long>();
        return true;
      };
      unsigned long store = 0, number = 0, capacity = 0;
      if (!field("store", 255, &store) || !field("slot", 255, &number) ||
          !field("capacity", 0xFFFF, &capacity)) {
        *error = "bad slot (store 0-255, slot 0-255, capacity 0-65535)";
        return false;
      }
      m->slots.push_back(
          {static_cast<uint8_t>(store), static_cast<uint8_t>(number), static_cast<uint16_t>(capacity)});
    }
  }
  if (j.contains("factory")) {
    if (!j["factory"].is_object()) {
      *error = "\"factory\" must be an object of area: text";
      return false;
    }
    for (const auto& [key, text] : j["factory"].items()) {
      unsigned long area = 0;
      if (!ParseUnsigned(key, 10, 15, &area) || !text.is_string() || text.get<std::string>().size() > 1024) {
        *error = "bad factory area " + key;
        return false;
      }
      const std::string bytes = text.get<std::string>();
      m->factory[static_cast<uint8_t>(area)] = Bytes(bytes.begin(), bytes.end());
    }
  }
  if (m->address == 0 || (m->address & 1)) {
    *error = "module address must be even and non-zero";
    return false;
  }
  return true;
}

}  // namespace

bool LoadConfig(const std::string& path, Options* options, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    *error = path + ": not a JSON object";
    return false;
  }
  if (j.contains("modules")) {
    if (!j["modules"].is_array() || j["modules"].empty()) {
      *error = path + ": \"modules\" must be a non-empty array";
      return false;
    }
    options->modules.clear();
    for (const auto& entry : j["modules"]) {
      ModuleIdentity m;
      if (!entry.is_object() || !ModuleFromJson(entry, &m, error)) {
        *error = path + ": module " + std::to_string(options->modules.size()) + ": " + *error;
        return false;
      }
      options->modules.push_back(m);
    }
  }
  if (j.contains("heartbeat_ms")) {
    if (!j["heartbeat_ms"].is_number_unsigned()) {
      *error = path + ": bad heartbeat_ms";
      return false;
    }
    options->heartbeatMs = j["heartbeat_ms"].get<uint32_t>();
  }
  if (j.contains("stream_interval_ms")) {
    if (!j["stream_interval_ms"].is_number_unsigned() ||
        j["stream_interval_ms"].get<unsigned long>() > 60000) {
      *error = path + ": bad stream_interval_ms";
      return false;
    }
    options->streamIntervalMs = j["stream_interval_ms"].get<uint32_t>();
  }
  if (j.contains("tcp")) {
    if (!j["tcp"].is_number_unsigned() || j["tcp"].get<unsigned long>() > 65535) {
      *error = path + ": bad tcp port";
      return false;
    }
    options->tcpPort = j["tcp"].get<int>();
  }
  if (j.contains("loader_block_size")) {
    if (!j["loader_block_size"].is_number_unsigned() || j["loader_block_size"].get<unsigned long>() > 65535) {
      *error = path + ": bad loader_block_size";
      return false;
    }
    options->loaderBlockSize = j["loader_block_size"].get<uint16_t>();
  }
  if (j.contains("flash_out")) {
    if (!j["flash_out"].is_string() || j["flash_out"].get<std::string>().empty()) {
      *error = path + ": bad flash_out";
      return false;
    }
    options->flashOut = j["flash_out"].get<std::string>();
  }
  for (const char* key : {"loader_restart_ms", "loader_reboot_ms"}) {
    if (!j.contains(key)) continue;
    if (!j[key].is_number_unsigned() || j[key].get<unsigned long>() > 3600000) {
      *error = path + ": bad " + key;
      return false;
    }
    (std::string(key) == "loader_restart_ms" ? options->loaderRestartMs : options->loaderRebootMs) =
        j[key].get<uint32_t>();
  }
  if (j.contains("loader_knobs")) {
    if (!j["loader_knobs"].is_array()) {
      *error = path + ": bad loader_knobs";
      return false;
    }
    for (const auto& knob : j["loader_knobs"]) {
      if (!knob.is_string() || !ParseLoaderKnob(knob.get<std::string>(), options)) {
        *error = path + ": bad loader knob " + knob.dump();
        return false;
      }
    }
  }
  if (j.contains("pty_link")) {
    if (!j["pty_link"].is_string()) {
      *error = path + ": bad pty_link";
      return false;
    }
    options->ptyLink = j["pty_link"].get<std::string>();
  }
  return true;
}

bool ParseArguments(int argc, char** argv, Options* options, bool* help, std::string* error) {
  *help = false;
  for (int i = 1; i < argc; ++i) {
    // Looked up afresh: --config may replace the module list.
    ModuleIdentity& single = options->modules.front();
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      *help = true;
      return true;
    }
    if (option == "--no-discovery") {
      options->discovery = false;
      continue;
    }
    if (i + 1 >= argc) {
      *error = option + " needs a value";
      return false;
    }
    const std::string value = argv[++i];
    unsigned long number = 0;
    auto bad = [&] {
      *error = "bad value for " + option + ": " + value;
      return false;
    };
    if (option == "--serial") {
      if (!ParseUnsigned(value, 16, 0xFFFFFFFFul, &number)) return bad();
      single.serial = static_cast<uint32_t>(number);
    } else if (option == "--model") {
      if (!ParseUnsigned(value, 10, 255, &number)) return bad();
      single.model = static_cast<uint8_t>(number);
    } else if (option == "--address") {
      if (!ParseUnsigned(value, 10, 254, &number) || number == 0 || (number & 1)) return bad();
      single.address = static_cast<uint8_t>(number);
    } else if (option == "--version") {
      if (!ParseVersion(value, &single)) return bad();
    } else if (option == "--build") {
      if (!ParseUnsigned(value, 10, 0xFFFFFFFFul, &number)) return bad();
      single.build = static_cast<uint32_t>(number);
    } else if (option == "--name") {
      single.name = value;
    } else if (option == "--config") {
      if (!LoadConfig(value, options, error)) return false;
    } else if (option == "--tcp") {
      if (!ParseUnsigned(value, 10, 65535, &number)) return bad();
      options->tcpPort = static_cast<int>(number);
    } else if (option == "--pty-link") {
      options->ptyLink = value;
    } else if (option == "--heartbeat") {
      if (!ParseUnsigned(value, 10, 3600000, &number)) return bad();
      options->heartbeatMs = static_cast<uint32_t>(number);
    } else if (option == "--stream-interval") {
      if (!ParseUnsigned(value, 10, 60000, &number)) return bad();
      options->streamIntervalMs = static_cast<uint32_t>(number);
    } else if (option == "--loader-block-size") {
      if (!ParseUnsigned(value, 10, 65535, &number)) return bad();
      options->loaderBlockSize = static_cast<uint16_t>(number);
    } else if (option == "--flash-out") {
      if (value.empty()) return bad();
      options->flashOut = value;
    } else if (option == "--loader-restart-ms") {
      if (!ParseUnsigned(value, 10, 3600000, &number)) return bad();
      options->loaderRestartMs = static_cast<uint32_t>(number);
    } else if (option == "--loader-reboot-ms") {
      if (!ParseUnsigned(value, 10, 3600000, &number)) return bad();
      options->loaderRebootMs = static_cast<uint32_t>(number);
    } else if (option == "--loader-knob") {
      if (!ParseLoaderKnob(value, options)) return bad();
    } else if (option == "--discovery-if") {
      options->discoveryInterfaces.push_back(value);
    } else {
      *error = "unknown option " + option;
      return false;
    }
  }
  if (options->tcpPort < 0 && options->ptyLink.empty()) {
    *error = "nothing to serve: give --tcp PORT and/or --pty-link PATH";
    return false;
  }
  return true;
}

}  // namespace vmodule
