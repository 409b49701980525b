// A small device on the far end of a StreamPair: answers address queries,
// sends heartbeats and arbitrary packets or bytes on request, and answers
// or echoes the packets it receives. Its own thread ("rigDevice") reads the
// pipe; every public call may come from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "sim/linkrig/DeviceCodec.h"
#include "sim/linkrig/MemoryPipe.h"

namespace linkrig {

enum class Framing { Plain, Cobs };

class ScriptedDevice {
 public:
  struct Options {
    uint8_t address = 4;
    Framing framing = Framing::Plain;
    bool answerQueries = true;
    bool echo = false;  // send every other packet back from the device's address
  };
  // Given a received packet (wire bytes), the data of the reply, if any.
  using Responder = std::function<std::optional<Bytes>(const Bytes& packet)>;

  ScriptedDevice(std::shared_ptr<PipePair> pipes, Options options);
  ~ScriptedDevice();
  ScriptedDevice(const ScriptedDevice&) = delete;
  ScriptedDevice& operator=(const ScriptedDevice&) = delete;

  void SetAnswerQueries(bool answer);
  void SetEcho(bool echo);
  // Runs on the device thread; must not call back into this device.
  void SetResponder(Responder responder);

  void SendPacket(uint8_t address, const Bytes& data);
  void SendPacket(const Bytes& data) { SendPacket(options_.address, data); }
  void SendHeartbeat(uint8_t value) { SendPacket(Bytes{0, value}); }
  // Bytes exactly as given, unframed.
  void SendRaw(const Bytes& bytes);

  // Every packet received from the host so far, in order (wire bytes).
  std::vector<Bytes> Received() const;
  size_t CountReceived(const Bytes& packet) const;
  void ClearReceived();
  // Waits until the predicate over the received packets holds; false on timeout.
  bool WaitFor(const std::function<bool(const std::vector<Bytes>&)>& done, uint32_t timeoutMs) const;
  int BadFrames() const;

 private:
  void Run();
  void Handle(const Bytes& packet);
  void Send(const Bytes& packet);

  std::shared_ptr<PipePair> pipes_;
  const Options options_;
  std::atomic<bool> answerQueries_;
  std::atomic<bool> echo_;
  std::atomic<bool> running_{true};
  std::atomic<int> badFrames_{0};

  // Lock order: lock_ is a leaf; the responder runs without it held.
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  std::vector<Bytes> received_;  // guarded by lock_
  Responder responder_;          // guarded by lock_
  std::mutex sendLock_;          // keeps each packet's bytes together on the pipe

  std::thread thread_;  // last: starts once everything above exists
};

}  // namespace linkrig
