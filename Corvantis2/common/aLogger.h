// A background thread that calls a procedure over and over with an output
// file; the procedure paces itself. Used to drain a link's packet log.
#pragma once

#include <cstdint>

#include "Corvantis2/common/aError.h"
#include "Corvantis2/unix/aFile.h"

inline constexpr uint16_t aLOGGER_CHECK = 0xDEED;

// Runs on the logger thread.
typedef void (*aLoggerProc)(aFile* file, uint32_t value);

struct aLogger;

// Opens path for appending, unbuffered. The thread is not started.
aLogger* aLogger_Create(uint32_t value, aLoggerProc procedure, const char* path);
aErr aLogger_Enable(aLogger* logger);
// Stops the thread and waits for it; from the logger thread itself it only
// asks the thread to stop.
aErr aLogger_Disable(aLogger* logger);
// aErrBusy from the logger thread itself: a thread cannot join itself, so the
// logger stays for its owner to destroy.
aErr aLogger_Destroy(aLogger** logger);
