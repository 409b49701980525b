// Entry point: parse, print the version line, prepare the application
// directory, then run the commands in a fixed order (-N, -G, then the first of
// -D, -U, -B, -L, -J). Exit status 0 or 1.
#include <cstdlib>
#include <string>

#include "Corvantis2/unix/aDirectory.h"
#include "app/CLI_Display.h"
#include "app/CommandLine.h"
#include "app/Log.h"
#include "app/Printers.h"
#include "app/Updater.h"
#include "server/HTTPRequest.h"
#include "store/BuildPath.h"

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr uint16_t kDirectoryMode = 0755;
constexpr size_t kHomeBufferSize = 2048;

bool Pending(uint32_t command) { return (UPDATER_PENDING_COMMANDS & command) != 0; }

// The build number as the -U flows take it: text that is not a number gives 0.
uint32_t BuildNumberOf(const std::string& text) {
  char* end = nullptr;
  return _get_int_arg(text.c_str(), &end);
}

// Prepares "<dir or ~/.vorantix>/updater"; false after reporting a failure.
bool PrepareApplicationDirectory(CLI_Display& display, Parameters& params) {
  if (params.updater_dir.empty()) {
    char home[kHomeBufferSize];
    aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
    if (err != aErrNone) {
      Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", static_cast<int>(err));
      return false;
    }
    params.updater_dir = BuildPath(home, ".vorantix", nullptr);
  }
  params.updater_dir = BuildPath(params.updater_dir.c_str(), "updater", nullptr);
  if (aDirectory_Ensure(params.updater_dir.c_str(), kDirectoryMode) != aErrNone) {
    display.message(ERROR, "Could not find updater directory at %s", params.updater_dir.c_str());
    return false;
  }
  return true;
}

// -B, -L and -J share their checks: a serial number is required.
int RunListCommand(CLI_Display& display, Updater& updater, const Parameters& params, uint32_t command) {
  struct ListCommand {
    uint32_t command;
    const char* option;
    const char* missingSerial;
  };
  static constexpr ListCommand kCommands[] = {
      {CMD_LIST_BUILDS, "-B", "Error must supply a serial number for the List Builds command"},
      {CMD_LIST_LOCAL_BUILDS, "-L", "Error must supply a serial number for the List Local Builds command"},
      {CMD_JWT, "-J", "Error must supply a serial number for the Get JWT command"},
  };
  const ListCommand* cmd = kCommands;
  while (cmd->command != command) ++cmd;
  if (params.serial_num == 0) {
    display.message(ERROR, "%s", cmd->missingSerial);
    _display_usage(false, false);
    return 1;
  }
  if (Pending(command)) {
    _flow_not_available(display, cmd->option);
    return 1;
  }
  if (command == CMD_LIST_BUILDS)
    _display_builds(display, updater.Get_BuildList(params.serial_num), params.serial_num);
  if (command == CMD_LIST_LOCAL_BUILDS)
    _display_builds(display, updater.Get_BuildListLocal(params.serial_num), params.serial_num);
  if (command == CMD_JWT) _display_jwt(display, updater.Get_JWT(params.serial_num));
  return 0;
}

int RunCommands(CLI_Display& display, Updater& updater, Parameters& params) {
  int status = 0;
  const CommandsClass& cmds = params.commands;

  if (cmds.IsSet(CMD_FINGERPRINT)) {
    if (params.serial_port.empty()) {
      display.message(ERROR, "Must specify the serial port used for connecting");
      return 1;
    }
    Fingerprint fp;
    if (Pending(CMD_FINGERPRINT)) {
      _flow_not_available(display, "-N");
      status = 1;
    } else if (updater.Get_Fingerprint(fp, params.serial_port, 0xDEADDEAD, params.bird_file, params.baud_rate,
                                       true)) {
      _display_fingerprint(display, fp);
    } else {
      display.message(ERROR, "Got no response from chip");
      status = 1;
    }
  }

  if (cmds.IsSet(CMD_GET_BUILD)) {
    if (params.serial_num == 0) {
      display.message(ERROR, "-G must specify a specific device via -d");
      display.message(ERROR, "--help for usage information");
      return 1;
    }
    display.message(INFO, "Retrieving firmware for device with serial number %08X", params.serial_num);
    if (params.build_num.empty()) {
      display.message(INFO, "No build specified");
      display.message(INFO, "Using Latest build");
    } else {
      display.message(INFO, "Retrieving firmware build %s", params.build_num.c_str());
    }
    uint32_t build = 0;
    if (Pending(CMD_GET_BUILD))
      _flow_not_available(display, "-G");
    else
      build = updater.Download_Firmware(params.serial_num, params.build_num, params.override, false);
    if (build != 0) params.build_num = std::to_string(build);
    status = build != 0 ? 0 : 1;
  }

  if (cmds.IsSet(CMD_DISCOVER)) {
    linkType type = (params.transport_given && params.transport != TRANSPORT_RECOVER)
                        ? static_cast<linkType>(params.transport)
                        : INVALID;
    if (params.router_serial != 0) {
      display.message(INFO, "Searching for Corvantis Network devices connected to %08X",
                      params.router_serial);
      _display_device_list(display, updater.Discover_CorvantisNetwork_Devices(params.router_serial, type),
                           type);
    } else {
      display.message(INFO, "Searching for Corvantis devices");
      if (type == INVALID) type = USB;
      _display_device_list(display, updater.Discover_Devices(type), type);
    }
    return 0;
  }

  if (cmds.IsSet(CMD_UPDATE)) {
    uint32_t build = BuildNumberOf(params.build_num);
    updater.Set_UEIBytes_Load(params.uei_bytes);
    const bool recover = params.transport == TRANSPORT_RECOVER;
    if (!recover && params.serial_num == 0) {
      display.message(ERROR, "Must specify the specific device to be updated");
      return 1;
    }
    if (recover) {
      _flow_not_available(display, "-U -t RECOVER");
      return 1;
    }
    bool updated =
        recover ? updater.Recover_Firmware(params.serial_port, build, params.baud_rate, params.serial_num,
                                           params.bird_file, params.override)
                : updater.Update_Firmware(params.serial_num, build, params.bird_file, params.module_address,
                                          params.router_serial, params.override);
    return updated ? 0 : 1;
  }

  for (uint32_t command : {CMD_LIST_BUILDS, CMD_LIST_LOCAL_BUILDS, CMD_JWT})
    if (cmds.IsSet(command)) return RunListCommand(display, updater, params, command);

  return status;
}

}  // namespace

int main(int argc, char* argv[]) {
  Parameters params;
  CLI_Display display;
  Log::SetOutput(stderr);

  if (_get_params(display, argc, argv, &params) != 0) {
    _display_app_version(display);
    _display_notice(display);
    _display_usage(false, false);
    _release_params(&params);
    return 1;
  }

  _display_app_version(display);
  if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(CMD_ANY)) {
    _display_notice(display);
    _display_usage(params.debug_given, params.help);
    _release_params(&params);
    return 0;
  }

  if (!PrepareApplicationDirectory(display, params)) {
    _release_params(&params);
    return 1;
  }

  if (!params.ca_bundle.empty()) {
    HTTPSettings settings = HTTPRequest::Settings();
    settings.caBundle = params.ca_bundle;
    HTTPRequest::Configure(settings);
  }

  int status = 0;
  {
    Updater updater(params.update_server.c_str(), params.updater_dir.c_str(), display);
    status = RunCommands(display, updater, params);
  }
  _release_params(&params);
  return status;
}
