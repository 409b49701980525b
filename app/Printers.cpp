#include "app/Printers.h"

#include <cstdio>

#include "Corvantis2/common/aDefs.h"

namespace {
constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
}

void _display_device_list(CLI_Display& display, const std::vector<DeviceInfo>& list, linkType type) {
  display.message(INFO, "Discovered Devices: (%s)",
                  type == USB     ? "USB"
                  : type == TCPIP ? "TCPIP"
                                  : "Unknown");
  if (list.empty()) {
    display.message(INFO, "    No devices found.");
    return;
  }
  if (type == USB)
    display.message(INFO,
                    "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
  else
    display.message(
        INFO,
        "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       "
        "Device Name");
  for (const DeviceInfo& d : list) {
    const linkSpec& s = d.spec;
    const char* model = aDefs_GetModelName(s.model);
    if (s.type == TCPIP) {
      const auto* ip = reinterpret_cast<const uint8_t*>(&s.ipAddress);
      char address[24];
      snprintf(address, sizeof address, "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
      display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                      s.serialNumber, s.moduleAddress, s.routerAddress, model, d.version_major,
                      d.version_minor, d.version_patch, d.build, address, d.device_name.c_str());
    } else if (d.error != aErrNone) {
      display.message(
          INFO, "    %08X  [Error (%d): Device in use. Close all other Vorantix associated applications.]",
          s.serialNumber, static_cast<int>(d.error));
    } else {
      display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s",
                      s.serialNumber, s.moduleAddress, s.routerAddress, model, d.version_major,
                      d.version_minor, d.version_patch, d.build, d.device_name.c_str());
    }
  }
}

void _display_jwt(CLI_Display& display, const std::string& token) {
  display.message(INFO, "%s", token.c_str());
}

void _display_fingerprint(CLI_Display& display, const Fingerprint& fp) {
  display.message(INFO, "[ %08X %08X %08X %08X ]", fp.word[0], fp.word[1], fp.word[2], fp.word[3]);
}
