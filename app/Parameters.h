// The parsed command line.
#pragma once

#include <cstdint>
#include <string>

enum COMMANDS : uint32_t {
  CMD_DISCOVER = 0x00000001,
  CMD_UPDATE = 0x00000002,
  CMD_LIST_BUILDS = 0x00000004,
  CMD_GET_BUILD = 0x00000008,
  CMD_INFO = 0x00000010,
  CMD_CHECK_BIRD = 0x00000020,
  CMD_FINGERPRINT = 0x00000040,
  CMD_Z = 0x00000080,
  CMD_JWT = 0x00000100,
  CMD_LIST_LOCAL_BUILDS = 0x00000200,
  CMD_HELP = 0x80000000,
};

// Any command that makes the run do more than print the usage text.
inline constexpr uint32_t CMD_ANY = 0x000307FF;

class CommandsClass {
 public:
  void Set(uint32_t command) { mask |= command; }
  // True when any bit of `command` is set.
  bool IsSet(uint32_t command) const { return (mask & command) != 0; }
  uint32_t Mask() const { return mask; }

 private:
  uint32_t mask = 0;
};

enum TransportType : int32_t {
  TRANSPORT_INVALID = 0,
  TRANSPORT_USB = 1,
  TRANSPORT_TCPIP = 2,
  TRANSPORT_RECOVER = 255,
};

struct Parameters {
  CommandsClass commands;
  uint32_t serial_num = 0;
  uint32_t router_serial = 0;
  int32_t transport = TRANSPORT_USB;
  bool transport_given = false;
  std::string serial_port;
  uint32_t baud_rate = 115200;
  uint8_t module_address = 0;
  std::string bird_file;
  std::string log_message;
  std::string build_num;
  bool echo = false;
  std::string update_server;
  // CA certificates (PEM) that verify the update server; empty: the system's.
  std::string ca_bundle;
  bool flag_n = false;
  std::string updater_dir;
  std::string app_name;
  std::string home_dir;
  std::string log_mode = "a+";
  std::string log_file = "Updater.log";
  bool override = false;
  bool uei_bytes = true;
  uint32_t debug_mask = 0;
  bool debug_given = false;
  bool help = false;
};
