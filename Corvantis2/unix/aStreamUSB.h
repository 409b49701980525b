// A stream to one family device on USB (the cvusb layer): the kernel
// driver's node when it exists, libusb otherwise.
#pragma once

#include <cstdint>

#include "Corvantis2/common/aStream.h"

inline constexpr uint16_t aUSB_STREAM_CHECK = 0xDEAD;

// *stream is cleared first. aErrParam for a null result pointer or serial
// number 0; aErrMemory when memory is exhausted; aErrResource when the
// device record cannot be made; otherwise the open's error (aErrNotFound,
// aErrBusy, aErrPermission, aErrConfiguration, aErrIO...).
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream);
