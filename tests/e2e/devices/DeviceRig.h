// Running the updater binary against virtual modules: on the emulated USB
// bus (vusb-run) or as a vmodule program on TCP/IP.
#pragma once

#include <string>
#include <vector>

#include "support/BackgroundProcess.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"

// updater with a scratch application directory and an update server that
// never answers (discovery and updates from the store need none).
inline std::vector<std::string> UpdaterArgs(const TempDir& home, std::vector<std::string> args) {
  args.insert(args.end(), {"-i", home.path() + "/home", "-u", "http://127.0.0.1:9/cgi/u"});
  return args;
}

// updater ARGS run under vusb-run with the bus described by busConfig.
inline RunResult RunOnUsbBus(const std::string& busConfig, const std::vector<std::string>& updaterArgs,
                             int timeoutMs = 60000) {
  std::vector<std::string> args{"--config", busConfig, "--", UpdaterBinary()};
  args.insert(args.end(), updaterArgs.begin(), updaterArgs.end());
  RunOptions options;
  options.timeoutMs = timeoutMs;
  return RunProgram(VUSB_RUN_BIN, args, options);
}

// The lines of text that start with prefix.
inline std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    at = end + 1;
  }
  return lines;
}
