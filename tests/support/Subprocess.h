// Runs a program the way a user would and collects what it printed.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

struct RunOptions {
  // Environment changes: a value sets the variable, nullopt removes it.
  std::map<std::string, std::optional<std::string>> env;
  // Give the child a pseudo-terminal as standard output (progress drawing).
  bool stdoutIsTerminal = false;
  int timeoutMs = 30000;
  std::string workingDirectory;
  // Run as this user and group id (needs root); -1 keeps the caller's.
  int uid = -1;
};

struct RunResult {
  int exitStatus = -1;  // exit code, or -1 when killed or timed out
  bool timedOut = false;
  std::string out;  // standard output (or the terminal's bytes)
  std::string err;  // standard error
};

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options = {});

// The built updater binary.
inline const char* UpdaterBinary() { return UPDATER_BIN; }
