#include "sim/linkrig/ScriptedDevice.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>

namespace linkrig {

namespace {

constexpr uint8_t kAddressQuery = 0xAD;
constexpr uint8_t kForceRoute = 0xAF;

bool IsHeartbeatAnswer(const Bytes& packet) { return packet.size() == 4 && packet[1] == 2 && packet[2] == 0; }

}  // namespace

ScriptedDevice::ScriptedDevice(std::shared_ptr<PipePair> pipes, Options options)
    : pipes_(std::move(pipes)),
      options_(options),
      answerQueries_(options.answerQueries),
      echo_(options.echo),
      thread_([this] { Run(); }) {}

ScriptedDevice::~ScriptedDevice() {
  running_ = false;
  thread_.join();
}

void ScriptedDevice::SetAnswerQueries(bool answer) { answerQueries_ = answer; }
void ScriptedDevice::SetEcho(bool echo) { echo_ = echo; }

void ScriptedDevice::SetResponder(Responder responder) {
  std::lock_guard<std::mutex> guard(lock_);
  responder_ = std::move(responder);
}

void ScriptedDevice::Send(const Bytes& packet) {
  const Bytes wire = options_.framing == Framing::Cobs ? DeviceFrame(packet) : packet;
  std::lock_guard<std::mutex> guard(sendLock_);
  pipes_->toHost.Write(wire.data(), wire.size());
}

void ScriptedDevice::SendPacket(uint8_t address, const Bytes& data) { Send(DevicePacket(address, data)); }

void ScriptedDevice::SendRaw(const Bytes& bytes) {
  std::lock_guard<std::mutex> guard(sendLock_);
  pipes_->toHost.Write(bytes.data(), bytes.size());
}

std::vector<Bytes> ScriptedDevice::Received() const {
  std::lock_guard<std::mutex> guard(lock_);
  return received_;
}

size_t ScriptedDevice::CountReceived(const Bytes& packet) const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<size_t>(std::count(received_.begin(), received_.end(), packet));
}

void ScriptedDevice::ClearReceived() {
  std::lock_guard<std::mutex> guard(lock_);
  received_.clear();
}

bool ScriptedDevice::WaitFor(const std::function<bool(const std::vector<Bytes>&)>& done,
                             uint32_t timeoutMs) const {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return done(received_); });
}

int ScriptedDevice::BadFrames() const { return badFrames_; }

void ScriptedDevice::Handle(const Bytes& packet) {
  Responder responder;
  {
    std::lock_guard<std::mutex> guard(lock_);
    received_.push_back(packet);
    responder = responder_;
  }
  changed_.notify_all();
  const uint8_t address = packet[0];
  if (address == kAddressQuery && packet.size() == 2) {
    if (answerQueries_) Send(DevicePacket(options_.address, {}));
    return;
  }
  if (address == kForceRoute || IsHeartbeatAnswer(packet)) return;
  if (responder) {
    if (auto reply = responder(packet)) Send(DevicePacket(options_.address, *reply));
    return;
  }
  if (echo_) Send(DevicePacket(options_.address, Bytes(packet.begin() + 2, packet.end())));
}

void ScriptedDevice::Run() {
  pthread_setname_np(pthread_self(), "rigDevice");
  DevicePacketReader plain;
  DeviceFrameReader framed;
  while (running_) {
    uint8_t byte;
    if (!pipes_->toDevice.ReadByte(&byte, 5)) continue;
    std::optional<Bytes> packet = options_.framing == Framing::Cobs ? framed.Feed(byte) : plain.Feed(byte);
    badFrames_ = framed.badFrames();
    if (packet) Handle(*packet);
  }
}

}  // namespace linkrig
