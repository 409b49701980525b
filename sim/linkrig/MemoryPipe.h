// In-memory byte pipes joined back to back, for running links without a
// device. A StreamPair gives the host end as an aStream (what a link is
// created over) and the far end either as an aStream or, for the scripted
// device, as plain read and write calls that share nothing with the engine.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "Corvantis2/common/aStream.h"

namespace linkrig {

// Misbehaviour of one direction. Rates are probabilities per byte.
struct PipeKnobs {
  uint32_t latencyMs = 0;
  double lossRate = 0.0;
  double corruptRate = 0.0;
  uint32_t seed = 1;
};

// One direction: bytes written become readable after the latency, unless
// lost or corrupted on the way.
class MemoryPipe {
 public:
  void SetKnobs(const PipeKnobs& knobs);
  void Write(const uint8_t* bytes, size_t length);
  // Waits up to timeoutMs for a byte; false when none came.
  bool ReadByte(uint8_t* byte, uint32_t timeoutMs);
  // While closed, writes wait (at most 5 s) for the gate to open: lets a
  // test queue work behind a write that is still in progress.
  void SetWriteGate(bool closed);
  // Makes every read fail (a transport that broke) until cleared.
  void SetBroken(bool broken);
  bool Broken() const;

  // Figures for tests and benchmarks.
  std::vector<size_t> WriteSizes() const;
  uint64_t WriteCalls() const;
  uint64_t BytesWritten() const;
  void ClearFigures();

 private:
  using Clock = std::chrono::steady_clock;
  struct Item {
    Clock::time_point due;
    uint8_t byte;
  };
  mutable std::mutex lock_;
  std::condition_variable arrived_;
  std::deque<Item> bytes_;   // guarded by lock_
  PipeKnobs knobs_;          // guarded by lock_
  std::mt19937 random_{1};   // guarded by lock_
  bool broken_ = false;      // guarded by lock_
  bool gateClosed_ = false;  // guarded by lock_
  std::condition_variable gateOpened_;
  std::vector<size_t> writeSizes_;  // guarded by lock_
  uint64_t writeCalls_ = 0;         // guarded by lock_
  uint64_t bytesWritten_ = 0;       // guarded by lock_
};

struct PipePair {
  MemoryPipe toDevice;
  MemoryPipe toHost;
};

// The four procedures and state of one end, for wrapping it in another
// stream layer (COBS). The state is freed by del.
struct StreamEnd {
  aStreamGetProc get;
  aStreamPutProc put;
  aStreamWriteProc write;
  aStreamDeleteProc del;
  void* ref;
};

class StreamPair {
 public:
  // readTimeoutMs: how long a get waits before answering "not ready".
  explicit StreamPair(uint32_t readTimeoutMs = 5);

  // A new stream over the host end; it shares the pipes, so it may outlive
  // this object (a link owns it and destroys it).
  aStream* TakeHostStream();
  // The same over the far end, for tests that drive both ends as streams.
  aStream* TakeDeviceStream();
  StreamEnd TakeHostEnd();

  const std::shared_ptr<PipePair>& pipes() const { return pipes_; }

 private:
  std::shared_ptr<PipePair> pipes_;
  uint32_t readTimeoutMs_;
};

}  // namespace linkrig
