// I2C bus entity (command 8, index 0), plain packets:
//
//   read:   8, index, address | 1, length, speed        -> 8, index, address | 1, count, status, bytes
//   write:  8, index, address, length, speed, bytes     -> 8, index, address, count, status
//   pullup: 8, index, 1, enable                         -> 8, index, 1, enable, status
//
// On the bus: a 256-byte memory at 8-bit address 0xA0. A write's first byte
// sets its register pointer, the rest are stored from there; a read returns
// bytes from the pointer on. Status 0 is success; 0x80 | code is an error
// (no device at the address: aErrNotFound; length above 23: aErrSize).
#include "sim/vmodule/Device.h"

namespace vmodule {

namespace {

constexpr uint8_t kI2C = 8;
constexpr uint8_t kPullup = 1;
constexpr uint8_t kMaxTransfer = 23;
constexpr uint8_t kMaxSpeed = 3;

uint8_t Fail(uint8_t code) { return static_cast<uint8_t>(kErrorBit | code); }

}  // namespace

void HandleI2C(Request& r) {
  const Bytes& d = r.data();
  if (d.size() < 4) return;
  const uint8_t index = d[1];
  const uint8_t address = d[2];
  ModuleState& m = r.module;
  if (address == kPullup && d.size() == 4) {
    m.i2cPullup = d[3] != 0;
    return r.Reply({kI2C, index, address, d[3], static_cast<uint8_t>(index == 0 ? 0 : Fail(kErrIndexRange))});
  }
  if (d.size() < 5) return;
  const uint8_t length = d[3];
  const uint8_t speed = d[4];
  const bool read = address & 1;
  auto status = [&]() -> uint8_t {
    if (index != 0) return Fail(kErrIndexRange);
    if (length > kMaxTransfer) return Fail(kErrSize);
    if (speed > kMaxSpeed) return Fail(kErrParam);
    if (!read && d.size() != 5u + length) return Fail(kErrSize);
    if (!m.i2c.count(static_cast<uint8_t>(address & ~1))) return Fail(kErrNotFound);
    return 0;
  }();
  if (status != 0) return r.Reply({kI2C, index, address, 0, status});
  ModuleState::I2CDevice& device = m.i2c[static_cast<uint8_t>(address & ~1)];
  if (read) {
    Bytes out{kI2C, index, address, length, 0};
    for (uint8_t i = 0; i < length; ++i) out.push_back(device.memory[device.pointer++]);
    return r.Reply(std::move(out));
  }
  if (length > 0) {
    device.pointer = d[5];
    for (size_t i = 6; i < d.size(); ++i) device.memory[device.pointer++] = d[i];
  }
  r.Reply({kI2C, index, address, length, 0});
}

}  // namespace vmodule
