#include "app/CommandLine.h"

#include <cstring>
#include <string>

#include "Corvantis2/unix/aDirectory.h"
#include "app/Log.h"
#include "app/ServerUrl.h"

const CSimpleOpt::SOption g_rgOptions[] = {
    {OPT_COMMAND, "-B", SO_NONE},        {OPT_COMMAND, "-L", SO_NONE},    {OPT_COMMAND, "-D", SO_NONE},
    {OPT_COMMAND, "-G", SO_NONE},        {OPT_COMMAND, "-I", SO_NONE},    {OPT_COMMAND, "-U", SO_NONE},
    {OPT_COMMAND, "-OVERRIDE", SO_NONE}, {OPT_COMMAND, "-N", SO_NONE},    {OPT_COMMAND, "-Y", SO_NONE},
    {OPT_COMMAND, "-C", SO_NONE},        {OPT_COMMAND, "-J", SO_NONE},    {OPT_HELP, "-h", SO_NONE},
    {OPT_HELP, "-H", SO_NONE},           {OPT_PARAM, "-n", SO_NONE},      {OPT_PARAM, "-X", SO_REQ},
    {OPT_PARAM, "-Z", SO_REQ},           {OPT_PARAM, "-m", SO_REQ},       {OPT_PARAM, "-i", SO_REQ},
    {OPT_PARAM, "-b", SO_REQ},           {OPT_PARAM, "-d", SO_REQ},       {OPT_PARAM, "-t", SO_REQ},
    {OPT_PARAM, "-f", SO_REQ},           {OPT_PARAM, "-r", SO_REQ},       {OPT_PARAM, "-s", SO_REQ},
    {OPT_PARAM, "-o", SO_REQ},           {OPT_PARAM, "-e", SO_NONE},      {OPT_PARAM, "-l", SO_REQ},
    {OPT_PARAM, "-k", SO_REQ},           {OPT_PARAM, "-u", SO_REQ},       {OPT_HELP, "--help", SO_NONE},
    {OPT_HTTP, "--http", SO_NONE},       {OPT_HTTPS, "--https", SO_NONE}, {OPT_CACERT, "--cacert", SO_REQ},
    {-1, nullptr, SO_NONE},
};

namespace {

constexpr const char* kApplicationName = "Updater";
constexpr const char* kVersionText = "Version: 2.12.4 " __DATE__;
constexpr size_t kHomeBufferSize = 2048;

bool StartsWith(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

// Digits of `base` only; wraps modulo 2^32, which is the truncation to 32 bits.
uint32_t ConvertDigits(const char* text, const char* digits, unsigned base, char** end) {
  if (end == nullptr || text == nullptr) return 0;
  if (text[strspn(text, digits)] != '\0') return 0;
  uint32_t value = 0;
  const char* p = text;
  for (; *p != '\0'; ++p) {
    unsigned c = static_cast<unsigned char>(*p);
    unsigned digit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    value = value * base + digit;
  }
  *end = const_cast<char*>(p);
  return value;
}

// "-d" and "-r": an optional 0x prefix is dropped, the rest must be hexadecimal and non-zero.
bool ParseSerial(const char* value, const char* prefixLog, const char* errorFormat, uint32_t* out,
                 CLI_Display& display) {
  if (StartsWith(value, "0x") || StartsWith(value, "0X")) {
    Log::log(DEBUG_Updater, "%s", prefixLog);
    value += 2;
  }
  char* end = nullptr;
  *out = _get_hex_arg(value, &end);
  if (*out != 0) return true;
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, errorFormat, value);
  return false;
}

// "-X": hexadecimal after 0x, else decimal; anything left over is reported.
void ParseDebugMask(const char* optionText, const char* value, Parameters* params, CLI_Display& display) {
  params->debug_given = true;
  unsigned base = 10;
  const char* digits = "0123456789";
  if (StartsWith(value, "0x") || StartsWith(value, "0X")) {
    base = 16;
    digits = "0123456789ABCDEFabcdef";
    value += 2;
  }
  size_t used = strspn(value, digits);
  std::string number(value, used);
  char* end = nullptr;
  params->debug_mask = base == 16 ? _get_hex_arg(number.c_str(), &end) : _get_int_arg(number.c_str(), &end);
  if (value[used] != '\0') {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Invalid format for \"%s\" parameter, unprocessed characters [%s]", optionText,
                    value + used);
    return;
  }
  Log::ActivatePackage(params->debug_mask);
}

int32_t ParseTransport(const char* value) {
  if (StartsWith(value, "USB")) return TRANSPORT_USB;
  if (StartsWith(value, "TCP")) return TRANSPORT_TCPIP;
  if (StartsWith(value, "RECOVER")) return TRANSPORT_RECOVER;
  return TRANSPORT_INVALID;
}

const char* AppNameOf(const char* argv0) {
  if (argv0 == nullptr) return "";
  const char* name = argv0;
  for (const char* p = argv0; *p != '\0'; ++p)
    if (*p == '/' || *p == '\\') name = p + 1;
  return name;
}

void WriteLines(const char* const* lines, size_t count) {
  for (size_t i = 0; i < count; ++i) fprintf(stderr, "%s\n", lines[i]);
}

template <size_t N>
void WriteLines(const char* const (&lines)[N]) {
  WriteLines(lines, N);
}

}  // namespace

uint32_t _get_hex_arg(const char* text, char** end) {
  return ConvertDigits(text, "0123456789ABCDEFabcdef", 16, end);
}

uint32_t _get_int_arg(const char* text, char** end) { return ConvertDigits(text, "0123456789", 10, end); }

int _validate_params(Parameters*) { return 0; }

int _release_params(Parameters*) { return 0; }

int _get_params(CLI_Display& display, int argc, char* argv[], Parameters* params) {
  using Level = UpdaterDisplayInterface::Level;
  *params = Parameters{};
  params->update_server = DefaultHttpUrl();
  params->app_name = AppNameOf(argc > 0 ? argv[0] : nullptr);
  char home[kHomeBufferSize] = "";
  aDirectory_GetHomeDirectory(home, sizeof home);
  params->home_dir = home;
  Log::log(DEBUG_APP, "Home directory:[%s]\n", home);

  bool failed = false;
  int serverChoices = 0;
  CSimpleOpt args(argc, argv, g_rgOptions);
  while (args.Next()) {
    if (args.LastError() != SO_SUCCESS) continue;
    const char* text = args.OptionText();
    const char* value = args.OptionArg();
    switch (args.OptionId()) {
      case OPT_HELP:
        params->commands.Set(CMD_HELP);
        params->help = true;
        return 0;
      case OPT_HTTPS:
        params->update_server = DefaultHttpsUrl();
        ++serverChoices;
        continue;
      case OPT_HTTP:
        params->update_server = DefaultHttpUrl();
        ++serverChoices;
        continue;
      case OPT_CACERT:
        params->ca_bundle = value;
        continue;
      case OPT_COMMAND:
        switch (text[1]) {
          case 'B': params->commands.Set(CMD_LIST_BUILDS); break;
          case 'L': params->commands.Set(CMD_LIST_LOCAL_BUILDS); break;
          case 'D': params->commands.Set(CMD_DISCOVER); break;
          case 'G': params->commands.Set(CMD_GET_BUILD); break;
          case 'I': params->commands.Set(CMD_INFO); break;
          case 'U': params->commands.Set(CMD_UPDATE); break;
          case 'O': params->override = true; break;
          case 'N': params->commands.Set(CMD_FINGERPRINT); break;
          case 'C': params->commands.Set(CMD_CHECK_BIRD); break;
          case 'J': params->commands.Set(CMD_JWT); break;
          default:
            display.message(Level::LEVEL_ERROR, "Unhandled command: [%s]", text);
            failed = true;
            break;
        }
        continue;
      default: break;
    }
    // Parameters.
    switch (text[1]) {
      case 'n': params->flag_n = true; break;
      case 'e': params->echo = true; break;
      case 'X': ParseDebugMask(text, value, params, display); break;
      case 'Z': params->commands.Set(CMD_Z); break;
      case 'm': params->uei_bytes = StartsWith(value, "1") || StartsWith(value, "true"); break;
      case 'i': params->updater_dir = value; break;
      case 'f': params->bird_file = value; break;
      case 's': params->serial_port = value; break;
      case 'l': params->log_message = value; break;
      case 'k': params->log_file = value; break;
      case 'u':
        params->update_server = value;
        ++serverChoices;
        break;
      case 'd':
        failed |=
            !ParseSerial(value, "Discarding '0x' serial number prefix\n",
                         "Invalid serial number obtained from argument [%s]", &params->serial_num, display);
        break;
      case 'r':
        failed |= !ParseSerial(value, "Discarding '0x' router serial number prefix\n",
                               "Invalid router serial number obtained from argument [%s]",
                               &params->router_serial, display);
        break;
      case 'b': {
        char* end = nullptr;
        params->build_num = std::to_string(_get_int_arg(value, &end));
        break;
      }
      case 'o': {
        char* end = nullptr;
        params->baud_rate = _get_int_arg(value, &end);
        break;
      }
      case 't':
        params->transport_given = true;
        params->transport = ParseTransport(value);
        if (params->transport == TRANSPORT_INVALID) {
          display.message(Level::LEVEL_ERROR,
                          "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
                          value);
          failed = true;
        }
        break;
      default: break;
    }
  }

  if (serverChoices > 1) {
    display.message(Level::LEVEL_ERROR,
                    "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.");
    failed = true;
  }

  Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->app_name.c_str());
  for (int i = 0; i < argc; ++i) Log::log(DEBUG_APP, "\t[%s]\n", argv[i]);

  return failed ? 1 : _validate_params(params);
}

void _display_app_version(CLI_Display& display) {
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s (%s)", kApplicationName, kVersionText);
}

void _display_notice(CLI_Display& display) {
  display.message(
      UpdaterDisplayInterface::LEVEL_INFO,
      "Notice: use --https for update-server connections; it becomes the default in the next major version.");
}

// The usage texts are kept one output line per literal.
// clang-format off
void _display_usage(bool extended, bool full) {
  fprintf(stderr, "\n");
  fprintf(stderr, "Application Usage:\n");
  fprintf(stderr, "%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n", kApplicationName);
  static const char* const kHeaderRest[] = {
      "    [-d serial_num]",
      "    [-t transport] [-r router_serial]",
      "    [-s serial_port] [-o baud_rate]",
      "",
      "  Corvantis Update and Maintenance Application",
      "    -H -h or --help for full usage information.",
      "",
  };
  WriteLines(kHeaderRest);
  if (!full) return;

  static const char* const kParameters[] = {
      "  Parameters to commands:",
      "     -i <vorantix_directory>  - The Vorantix directory used for storage of ",
      "                                firmware files. [Default: ~/.vorantix ].",
      "     -b <build number>        - Build version of the firmware to transfer.",
      "                                [Default: latest version available].",
      "     -d <device>              - Device serial number of the device to access.",
      "     -t <transport type>      - communications method [USB,TCP,RECOVER].",
      "     -f <bird file>           - Firmware file to be transferred to device.",
      "     -r <router serial>       - indirect connection through router device",
      "     -s <serial port>         - name of serial port to use for recovery",
      "     -o <baud rate>           - baud rate for serial port (2400, 4800, 9600,",
      "                                19200, 38400, 57600, 115200, 230400)",
      "  Commands:",
      "     -B                       - list the Builds available for given device.",
      "",
      "     -L                       - list the local Builds available for given device.",
      "",
      "     -D                       - Discover devices that are currently connected.",
      "",
      "     -G                       - Get build file from the Vorantix server and",
      "                                store on local machine for download to device.",
      "                                Must specify a specific device [\"-d\" option].",
      "                                Default is to obtain the latest build for the",
      "                                given device, override with \"-b\" option.",
      "",
      "     -U                       - Update the firmware on device specified.",
      "                                Must specify a specific device [\"-d\" option].",
      "                                Default is to download the latest build for the",
      "                                given device, override with \"-b\" option or",
      "                                specify specific BIRD file using \"-f\" option.",
      "     -J                       - Get a JWT containing the devices software features",
      "     -H or -h                 - Display extended usage information.",
      "",
  };
  WriteLines(kParameters);
  fprintf(stderr, "     --http                   - Use HTTP for the update server (%s).\n",
          DefaultHttpUrl().c_str());
  fprintf(stderr, "     --https                  - Use HTTPS for the update server (%s).\n",
          DefaultHttpsUrl().c_str());
  static const char* const kHttpsNote[] = {
      "                                Recommended; HTTPS will be the default in the next major version.",
      "",
  };
  WriteLines(kHttpsNote);

  if (extended) {
    static const char* const kExtendedHead[] = {
        "  Extended Parameters:",
        "     -e                       - echoing of bytes enabled during recovery.",
        "",
        "     -m                       - Attemps to use UEIBytes for faster loading",
        "     -l 'log message'         - message to place in device history log",
        "     -k <filename>            - log messages written into given filename",
        "                                Default:[APP.log]",
        "     -u <host:port>           - The hostname and port of the update server",
    };
    WriteLines(kExtendedHead);
    fprintf(stderr, "                                Default: %s:port\n", UpdateServerHost());
    static const char* const kExtendedRest[] = {
        "     --cacert <file>          - CA certificates (PEM) that verify the update",
        "                                server's certificate; for a private server",
        "  Extended Commands:",
        "     -I                       - View stored device information.",
        "                                Must either use DISCOVER command [\"-D\"] or",
        "                                specify a specific device [\"-d\" option].",
        "",
        "     -OVERRIDE                - Override the model checks for BIRD firmware files.",
        "                                This option should only be used when authorized by",
        "                                Vorantix development engineers.",
        "",
        "     -N                       - Get fingerprint from a device, requires -s",
        "",
        "     -X <BIT_MASK>            - Bitmask for Logging",
        "                                DEBUG_Updater       0x00000001",
        "                                DEBUG_History       0x00000002",
        "                                DEBUG_Attributes    0x00000004",
        "                                DEBUG_BirdFile      0x00000008",
        "                                DEBUG_Network       0x00000010",
        "                                DEBUG_ServerComm    0x00000020",
        "",
        "                                DEBUG_Network       0x00000100",
        "                                DEBUG_Network_SR    0x00000200",
        "                                DEBUG_Network_FIRM  0x00000400",
        "",
        "                                DEBUG_NXPSerial     0x00001000",
        "                                DEBUG_NXPSerial_E   0x00002000",
        "                                DEBUG_NXPSerial_SR  0x00004000",
        "",
        "                                DEBUG_APP           0x00010000",
        "",
        "                                DEBUG_iMXSerial     0x10000000",
        "",
        "     -C                       - Check the given BIRDFILE",
        "",
    };
    WriteLines(kExtendedRest);
  }

  static const char* const kSamples[] = {
      " Sample usage:",
      "",
      "-D                             Discover all devices connected by either USB or TCPIP.",
      "                               Records the device information into the settings for that device.",
      "",
      "-D -t USB                      Discover all the devices connected by USB. Records the",
      "                               device information into the settings for that device.",
      "",
      "-D -t USB -d 0F5849A           Discover settings of the specific device (serial number 0x40F5849A)",
      "",
      "-G -d 40F5849A                 Get the latest firmware for the given device.",
      "                               Downloads the firmware file into the updater specific device directory.",
      "",
      "-U -d 40F5849A                 Update the firmware on the specific device.",
      "                               Without other options, this command will try to locate",
      "                               the latest firmware version to be used for updating the device.",
      "",
      "-G -d 40F5849A -b 99528558     Get the specified build's firmware for the given device.",
      "                               Downloads the firmware file into the updater's specific",
      "                               device directory with the build number as the filename.",
      "",
      "-G -U -d 40F5849A              Get the latest firmware for the given device.",
      "                               Downloads the firmware file into the updater specific",
      "                               device directory. After download, update the firmware",
      "                               using the latest release.",
      "",
      "-U -t RECOVER -s /dev/serial   Update the firmware as described above, but uses the serial interface",
      "                               in communicating with the device to install the latest firmware.",
      "",
      " Sample usage for network discovery and updates:",
      "",
      "-D -r D272031D                 Discover all devices connected to the I2C Corvantis network",
      "                               of the given routing device D272031D.",
      "",
      "-G -U -d 2181F0EE -r D272031D",
      "                               Get and Update to the latest firmware for device 2181F0EE",
      "                               indirectly through routing device D272031D.",
      "",
  };
  WriteLines(kSamples);
}
// clang-format on
