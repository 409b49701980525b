#include "app/Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

FILE* Log::fh = nullptr;
uint32_t Log::package_bitmask = 0;
bool Log::timestamped = false;
const char* const Log::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char* const Log::SEPARATOR = " | ";

void Log::log(unsigned package, const char* format, ...) {
  // Switched-off packages cost one mask test: the transfer loops log a lot.
  if (package != 0 && (package & package_bitmask) == 0) return;
  if (format == nullptr) return;
  if (timestamped && strlen(format) > 10) {
    char stamp[128];
    time_t now = time(nullptr);
    tm utc{};
    gmtime_r(&now, &utc);
    if (strftime(stamp, sizeof stamp, TIMESTAMP_FORMAT, &utc) > 0) {
      fputs(stamp, stdout);
      fputs(SEPARATOR, stdout);
    }
  }
  char line[2048];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0 || fh == nullptr) return;
  size_t length = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
  fwrite(line, 1, length, fh);
}

void Log::SetOutput(FILE* out) { fh = out; }
void Log::ActivatePackage(unsigned bits) { package_bitmask |= bits; }
void Log::DeactivatePackage(unsigned bits) { package_bitmask &= ~bits; }
