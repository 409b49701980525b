// Configuration of vusb-run: the devices to put on the emulated bus (see
// sim/README.md).
#pragma once

#include <string>
#include <vector>

#include "sim/vmodule/VirtualModule.h"
#include "sim/vusb/UsbBus.h"

namespace vusb {

struct DeviceConfig {
  DeviceSpec spec;
  bool busy = false;
  bool hasModule = true;
  vmodule::Options module;  // when hasModule
};

// Reads the JSON file at path; false with a message in *error.
bool LoadRunConfig(const std::string& path, std::vector<DeviceConfig>* devices, std::string* error);

}  // namespace vusb
