// Wall-clock milliseconds and sleeping.
#pragma once

#include <cstdint>

// Milliseconds since the Unix epoch (wall clock: jumps when the clock is set),
// or 0 when the clock cannot be read.
uint64_t aTime_GetMSTicks();
void aTime_MSSleep(uint64_t milliseconds);
