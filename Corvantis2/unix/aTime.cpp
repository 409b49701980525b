#include "Corvantis2/unix/aTime.h"

#include <sys/time.h>
#include <time.h>

#include <cerrno>

namespace {

// One slice of at most 999999 microseconds, resumed after signals.
void osMSSleep(uint64_t microseconds) {
  timespec want{static_cast<time_t>(microseconds / 1000000),
                static_cast<long>((microseconds % 1000000) * 1000)};
  timespec left{};
  while (nanosleep(&want, &left) != 0 && errno == EINTR) want = left;
}

}  // namespace

uint64_t aTime_GetMSTicks() {
  timeval now{};
  if (gettimeofday(&now, nullptr) != 0) return 0;
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
}

void aTime_MSSleep(uint64_t milliseconds) {
  constexpr uint64_t kSlice = 999999;
  uint64_t microseconds = milliseconds * 1000;
  while (microseconds > 0) {
    uint64_t slice = microseconds < kSlice ? microseconds : kSlice;
    osMSSleep(slice);
    microseconds -= slice;
  }
}
