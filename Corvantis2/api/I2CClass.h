// The I2C bus entity (class 8) of a module, spoken as plain packets:
//
//   read:   8, index, address | 1, length, speed -> 8, index, address | 1, count, status, count bytes
//   write:  8, index, address, length, speed, data -> 8, index, address, count, status
//   pullup: 8, index, 1, enable                   -> 8, index, 1, x, status
//
// A reply is matched on its first three bytes; bit 7 of its status byte
// flags a bus error whose code is the other seven bits.
#pragma once

#include <cstdint>

#include "Corvantis2/api/EntityClass.h"

namespace Vorantix::Corvantis {

inline constexpr uint8_t cmdI2C = 8;
inline constexpr uint8_t kI2C_MAX_TRANSFER = 23;
inline constexpr uint8_t kI2C_MAX_SPEED = 3;

class I2CClass : public EntityClass {
 public:
  I2CClass() = default;
  ~I2CClass() override = default;

  void init(Module* module, uint8_t index);
  // length above 23: aErrSize before anything is sent.
  aErr read(uint8_t address, uint8_t length, uint8_t* buffer);
  aErr write(uint8_t address, uint8_t length, const uint8_t* data);
  aErr setPullup(uint8_t enable);
  // Speed code 0 to 3, stored and sent with every transfer.
  aErr setSpeed(uint8_t speed);
  aErr getSpeed(uint8_t* speed) const;

 private:
  // Sends the request and takes the reply matching its first three bytes.
  aErr exchange(const uint8_t* request, uint8_t length, uint8_t* reply, uint8_t* replyLength);

  uint8_t speed_ = 0;
};

}  // namespace Vorantix::Corvantis
