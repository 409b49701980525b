#include "sim/linkrig/MemoryPipe.h"

#include <new>

namespace linkrig {

void MemoryPipe::SetKnobs(const PipeKnobs& knobs) {
  std::lock_guard<std::mutex> guard(lock_);
  knobs_ = knobs;
  random_.seed(knobs.seed);
}

void MemoryPipe::Write(const uint8_t* bytes, size_t length) {
  {
    std::unique_lock<std::mutex> guard(lock_);
    gateOpened_.wait_for(guard, std::chrono::seconds(5), [this] { return !gateClosed_; });
    writeCalls_++;
    bytesWritten_ += length;
    writeSizes_.push_back(length);
    const auto due = Clock::now() + std::chrono::milliseconds(knobs_.latencyMs);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    for (size_t i = 0; i < length; ++i) {
      uint8_t byte = bytes[i];
      if (knobs_.lossRate > 0 && chance(random_) < knobs_.lossRate) continue;
      if (knobs_.corruptRate > 0 && chance(random_) < knobs_.corruptRate)
        byte ^= static_cast<uint8_t>(1u << (random_() % 8));
      bytes_.push_back({due, byte});
    }
  }
  arrived_.notify_all();
}

bool MemoryPipe::ReadByte(uint8_t* byte, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> guard(lock_);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (broken_) return false;
    const auto now = Clock::now();
    if (!bytes_.empty() && bytes_.front().due <= now) {
      *byte = bytes_.front().byte;
      bytes_.pop_front();
      return true;
    }
    if (now >= deadline) return false;
    auto wakeAt = deadline;
    if (!bytes_.empty() && bytes_.front().due < wakeAt) wakeAt = bytes_.front().due;
    arrived_.wait_until(guard, wakeAt);
  }
}

void MemoryPipe::SetWriteGate(bool closed) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    gateClosed_ = closed;
  }
  gateOpened_.notify_all();
}

void MemoryPipe::SetBroken(bool broken) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    broken_ = broken;
  }
  arrived_.notify_all();
}

bool MemoryPipe::Broken() const {
  std::lock_guard<std::mutex> guard(lock_);
  return broken_;
}

std::vector<size_t> MemoryPipe::WriteSizes() const {
  std::lock_guard<std::mutex> guard(lock_);
  return writeSizes_;
}

uint64_t MemoryPipe::WriteCalls() const {
  std::lock_guard<std::mutex> guard(lock_);
  return writeCalls_;
}

uint64_t MemoryPipe::BytesWritten() const {
  std::lock_guard<std::mutex> guard(lock_);
  return bytesWritten_;
}

void MemoryPipe::ClearFigures() {
  std::lock_guard<std::mutex> guard(lock_);
  writeSizes_.clear();
  writeCalls_ = 0;
  bytesWritten_ = 0;
}

namespace {

// State of one stream end; freed by the stream's delete procedure.
struct EndState {
  std::shared_ptr<PipePair> pipes;
  MemoryPipe* in;
  MemoryPipe* out;
  uint32_t readTimeoutMs;
};

aErr sGet(uint8_t* byte, void* ref) {
  auto* end = static_cast<EndState*>(ref);
  if (!end || !byte) return aErrParam;
  if (end->in->ReadByte(byte, end->readTimeoutMs)) return aErrNone;
  return end->in->Broken() ? aErrIO : aErrNotReady;
}

aErr sWrite(const uint8_t* bytes, size_t length, void* ref) {
  auto* end = static_cast<EndState*>(ref);
  if (!end || !bytes) return aErrParam;
  end->out->Write(bytes, length);
  return aErrNone;
}

aErr sPut(uint8_t byte, void* ref) { return sWrite(&byte, 1, ref); }

aErr sDelete(void* ref) {
  delete static_cast<EndState*>(ref);
  return aErrNone;
}

aStream* sMakeStream(const std::shared_ptr<PipePair>& pipes, MemoryPipe* in, MemoryPipe* out,
                     uint32_t readTimeoutMs) {
  auto* end = new (std::nothrow) EndState{pipes, in, out, readTimeoutMs};
  if (!end) return nullptr;
  aStream* stream = aStream_Create(sGet, sPut, sWrite, sDelete, end);
  if (!stream) delete end;
  return stream;
}

}  // namespace

StreamEnd StreamPair::TakeHostEnd() {
  auto* end = new EndState{pipes_, &pipes_->toHost, &pipes_->toDevice, readTimeoutMs_};
  return StreamEnd{sGet, sPut, sWrite, sDelete, end};
}

StreamPair::StreamPair(uint32_t readTimeoutMs)
    : pipes_(std::make_shared<PipePair>()), readTimeoutMs_(readTimeoutMs) {}

aStream* StreamPair::TakeHostStream() {
  return sMakeStream(pipes_, &pipes_->toHost, &pipes_->toDevice, readTimeoutMs_);
}

aStream* StreamPair::TakeDeviceStream() {
  return sMakeStream(pipes_, &pipes_->toDevice, &pipes_->toHost, readTimeoutMs_);
}

}  // namespace linkrig
