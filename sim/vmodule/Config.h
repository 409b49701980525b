// Options of the vmodule program: command line and JSON configuration.
#pragma once

#include <string>

#include "sim/vmodule/VirtualModule.h"

namespace vmodule {

// Reads a JSON configuration (see sim/README.md) into options. On failure
// returns false with a message in *error.
bool LoadConfig(const std::string& path, Options* options, std::string* error);

// Parses the program's arguments. On failure returns false with a message
// in *error; *help is set for --help.
bool ParseArguments(int argc, char** argv, Options* options, bool* help, std::string* error);

extern const char* const kUsage;

}  // namespace vmodule
