#include "app/Updater.h"

void _flow_not_available(UpdaterDisplayInterface& display, const char* option) {
  display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                  "The %s command is not available yet in this version of Updater", option);
}

Updater::Updater(const char* url, const char* root, UpdaterDisplayInterface& display)
    : server_url(url ? url : ""), store_root(root ? root : ""), display(display) {}

// The flows below arrive with the store, server, device and recovery layers.
// Until then each one fails honestly: it says so and reports failure.

bool Updater::Recover_Firmware(const std::string&, uint32_t, uint32_t, uint32_t, const std::string&, bool) {
  _flow_not_available(display, "-U -t RECOVER");
  return false;
}

bool Updater::Get_Fingerprint(Fingerprint&, const std::string&, uint32_t, const std::string&, uint32_t,
                              bool) {
  _flow_not_available(display, "-N");
  return false;
}
