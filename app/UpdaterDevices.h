// Helpers shared by the device flows (discovery, update) and the server
// flows. Each is a file-local function of its flow in spirit; they live here
// so that one copy serves every flow.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Corvantis2/common/aError.h"

class BirdFile;
class UpdaterDisplayInterface;
namespace Vorantix::Corvantis {
class Module;
}

// Opens devices directly, never through a link-sharing server. Prints
// "Failed to SET network configuration" and returns the code on failure.
aErr _disableNetworkSharing(Vorantix::Corvantis::Module& module, UpdaterDisplayInterface& display);

// The device's firmware build number, 0 on any failure.
uint32_t _get_build_number(Vorantix::Corvantis::Module& module);

// A build number sent by the update server, surrounding white space allowed.
// Logs "Error: Could not convert %s to int." and gives nothing otherwise.
std::optional<uint32_t> ParseServerBuild(const std::string& text);

// The local time in ctime form without its newline.
std::string LocalTimeText();

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& file, Vorantix::Corvantis::Module& module,
                        uint32_t serial);
aErr _transfer_loader(UpdaterDisplayInterface& display, Vorantix::Corvantis::Module& module, BirdFile& file);
aErr _transfer_firmware(UpdaterDisplayInterface& display, Vorantix::Corvantis::Module& module, BirdFile& file,
                        bool throughLinkModule, bool useUEIBytes);
