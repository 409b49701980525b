// Parsing the command line into Parameters, and the texts printed around it.
#pragma once

#include <cstdint>

#include "app/CLI_Display.h"
#include "app/Parameters.h"
#include "app/SimpleOpt.h"

enum OptionIdentifier { OPT_HELP = 0, OPT_COMMAND = 1, OPT_PARAM = 2, OPT_HTTPS = 3, OPT_HTTP = 4,
                        OPT_CACERT = 5 };

extern const CSimpleOpt::SOption g_rgOptions[];

// 0 when the command line is accepted, non-zero when it is not.
int _get_params(CLI_Display& display, int argc, char* argv[], Parameters* params);
int _validate_params(Parameters* params);
int _release_params(Parameters* params);

// The text as base 16 (or 10) when every character is a digit of that base,
// truncated to 32 bits; otherwise 0 with *end untouched. 0 when end is null.
uint32_t _get_hex_arg(const char* text, char** end);
uint32_t _get_int_arg(const char* text, char** end);

void _display_app_version(CLI_Display& display);
void _display_notice(CLI_Display& display);
// Header always; with full the parameters, commands and samples; with both
// the extended texts too. Written to standard error.
void _display_usage(bool extended, bool full);
