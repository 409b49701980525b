// Application-level path joiner: always inserts the separator between parts,
// with no limit on count or length.
#pragma once

#include <string>

// BuildPath(first, part, ..., nullptr)
std::string BuildPath(const char* first, ...) __attribute__((sentinel));
