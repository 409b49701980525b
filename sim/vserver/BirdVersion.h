// The virtual update server's own reader of a BIRD file's descriptor: just
// enough to list a build with its version. Independent of the updater's
// BirdFile so that a misreading cannot hide on both sides.
#pragma once

#include <optional>
#include <string>

namespace vserver {

// The version text of the file's first descriptor block (bytes 16-30, up to
// the first space or NUL). Empty when the file holds no descriptor; nothing
// when the file cannot be read as a BIRD file (error says why).
std::optional<std::string> ReadBirdVersion(const std::string& path, std::string* error = nullptr);

}  // namespace vserver
