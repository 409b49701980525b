#include "Corvantis2/common/aLogger.h"

#include <atomic>
#include <new>
#include <thread>

#include "Corvantis2/unix/aThread.h"
#include "Corvantis2/unix/aThreadName.h"

struct aLogger {
  uint32_t value;
  aLoggerProc proc;
  aFile* file;
  aThread* thread;                        // null when none was started; touched by controlling threads only
  std::atomic<std::thread::id> threadId;  // the logger thread's, set by itself
  std::atomic<bool> enabled;
  uint16_t check;
};

namespace {

bool sValid(const aLogger* logger) { return logger && logger->check == aLOGGER_CHECK; }

bool sOnLoggerThread(const aLogger* logger) { return logger->threadId.load() == std::this_thread::get_id(); }

void* sLoggerThread(void* argument) {
  auto* logger = static_cast<aLogger*>(argument);
  logger->threadId = std::this_thread::get_id();
  aThread_NameSelf("aLogger");
  while (logger->enabled) logger->proc(logger->file, logger->value);
  return nullptr;
}

}  // namespace

aLogger* aLogger_Create(uint32_t value, aLoggerProc procedure, const char* path) {
  if (!procedure || !path) return nullptr;
  auto* logger = new (std::nothrow) aLogger{};
  if (!logger) return nullptr;
  logger->file = aFile_Open(path, aFileModeAppend);
  if (!logger->file) {
    delete logger;
    return nullptr;
  }
  aFile_SetUnbuffered(logger->file);
  logger->value = value;
  logger->proc = procedure;
  logger->check = aLOGGER_CHECK;
  return logger;
}

aErr aLogger_Enable(aLogger* logger) {
  if (!sValid(logger)) return aErrParam;
  if (logger->enabled) return aErrNone;
  if (sOnLoggerThread(logger)) {
    // Re-enabled before its loop noticed the stop: it simply runs on.
    logger->enabled = true;
    return aErrNone;
  }
  // A thread that was asked to stop from inside is joined before a new one starts.
  if (logger->thread && aLogger_Disable(logger) != aErrNone) return aErrUnknown;
  logger->enabled = true;
  logger->thread = aThread_Create(sLoggerThread, logger);
  if (!logger->thread) {
    logger->enabled = false;
    return aErrResource;
  }
  return aErrNone;
}

aErr aLogger_Disable(aLogger* logger) {
  if (!sValid(logger)) return aErrParam;
  if (sOnLoggerThread(logger)) {
    logger->enabled = false;
    return aErrNone;
  }
  if (!logger->thread) return aErrNone;
  logger->enabled = false;
  const int joined = aThread_Destroy(&logger->thread);
  logger->threadId = std::thread::id();
  return joined == 0 ? aErrNone : aErrUnknown;
}

aErr aLogger_Destroy(aLogger** logger) {
  if (!logger || !sValid(*logger)) return aErrNone;
  aLogger* doomed = *logger;
  if (sOnLoggerThread(doomed)) {
    doomed->enabled = false;
    return aErrBusy;
  }
  aErr err = aLogger_Disable(doomed);
  aFile_Close(&doomed->file);
  if (err != aErrNone) return err;
  doomed->check = 0;
  delete doomed;
  *logger = nullptr;
  return aErrNone;
}
