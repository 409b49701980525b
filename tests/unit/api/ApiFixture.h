// A virtual module on a loopback TCP port (no discovery) and a Module
// connected to it through the device API. The module's request log and
// interceptor let a test see the bytes sent and choose the bytes answered.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "Corvantis2/api/Module.h"
#include "sim/vmodule/VirtualModule.h"
#include "support/LoopbackPort.h"

namespace apitest {

using namespace Vorantix::Corvantis;
using Bytes = std::vector<uint8_t>;

inline constexpr uint32_t kSerial = 0x0000002A;
inline constexpr uint8_t kAddress = 2;

inline vmodule::Options DeviceOptions() {
  vmodule::Options options;
  options.modules[0].serial = kSerial;
  options.modules[0].address = kAddress;
  options.modules[0].model = 5;
  options.modules[0].build = 4711;
  options.modules[0].name = "bench-top";
  vmodule::ParseVersion("2.15.3", &options.modules[0]);
  options.heartbeatMs = 0;
  options.tcpPort = 0;
  options.discovery = false;  // multicast only inside a private namespace
  return options;
}

inline linkSpec TcpSpec(uint16_t port, uint32_t serial = kSerial) { return LoopbackTcpSpec(port, serial); }

// The data bytes of recorded requests sent to one module address.
inline std::vector<Bytes> RequestsTo(const vmodule::VirtualModule& device, uint8_t address) {
  std::vector<Bytes> found;
  for (const vmodule::Packet& p : device.Requests())
    if (p.address == address) found.push_back(p.data);
  return found;
}

// Answers requests whose data starts with `prefix` with fixed replies from `from`.
inline vmodule::VirtualModule::Interceptor Answer(Bytes prefix, std::vector<Bytes> replies,
                                                  uint8_t from = kAddress) {
  return [prefix, replies, from](const vmodule::Packet& request, std::vector<vmodule::Packet>& out) {
    if (request.data.size() < prefix.size() ||
        !std::equal(prefix.begin(), prefix.end(), request.data.begin()))
      return false;
    for (const Bytes& r : replies) out.push_back(vmodule::Packet{from, r});
    return true;
  };
}

class ApiTest : public ::testing::Test {
 protected:
  void SetUp() override { StartDevice(DeviceOptions()); }

  void StartDevice(vmodule::Options options) {
    device_ = std::make_unique<vmodule::VirtualModule>(std::move(options));
    ASSERT_TRUE(device_->Start());
    module_ = std::make_unique<Module>(0, static_cast<uint8_t>(0));
    ASSERT_EQ(module_->connectFromSpec(TcpSpec(device_->TcpPort())), aErrNone);
    ASSERT_EQ(module_->getModuleAddress(), kAddress);
    device_->ClearRequests();
  }

  void TearDown() override {
    module_.reset();
    device_.reset();
  }

  Link& link() { return *module_->getLink(); }

  std::unique_ptr<vmodule::VirtualModule> device_;
  std::unique_ptr<Module> module_;
};

inline double SecondsOf(const std::function<void()>& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace apitest
