// Console formats of the command results.
#pragma once

#include <string>
#include <vector>

#include "app/CLI_Display.h"
#include "app/Updater.h"

void _display_device_list(CLI_Display& display, const std::vector<DeviceInfo>& list, linkType type);
// Newest version first; "No builds found for device [SERIAL]" when empty.
void _display_builds(CLI_Display& display, const BuildList& list, uint32_t serial);
void _display_jwt(CLI_Display& display, const std::string& token);
void _display_fingerprint(CLI_Display& display, const Fingerprint& fingerprint);
