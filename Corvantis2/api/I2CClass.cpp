#include "Corvantis2/api/I2CClass.h"

#include <algorithm>
#include <cstring>

namespace Vorantix::Corvantis {

namespace {

constexpr uint8_t kReadBit = 1;
constexpr uint8_t kPullup = 1;
constexpr uint8_t kStatusError = 0x80;
constexpr uint8_t kReplyHeader = 5;  // class, index, address, count, status

}  // namespace

void I2CClass::init(Module* module, uint8_t index) { EntityClass::init(module, cmdI2C, index); }

aErr I2CClass::exchange(const uint8_t* request, uint8_t length, uint8_t* reply, uint8_t* replyLength) {
  aErr result = sendPacket(request[0], static_cast<uint8_t>(length - 1), request + 1);
  if (result != aErrNone) return result;
  *replyLength = 3;
  result = receivePacket(request, replyLength, reply);
  if (result != aErrNone) return result;
  if (*replyLength < kReplyHeader) return aErrPacket;
  if (reply[4] & kStatusError) return static_cast<aErr>(reply[4] & ~kStatusError);
  return aErrNone;
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* buffer) {
  if (length > kI2C_MAX_TRANSFER) return aErrSize;
  if (!buffer && length > 0) return aErrParam;
  const uint8_t request[] = {cmdI2C, getIndex(), static_cast<uint8_t>(address | kReadBit), length, speed_};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  const aErr result = exchange(request, sizeof request, reply, &replyLength);
  if (result != aErrNone) return result;
  // Never copy more than asked for, nor more than the reply carries.
  const uint8_t count = reply[3];
  if (count > length || kReplyHeader + count > replyLength) return aErrPacket;
  std::memcpy(buffer, reply + kReplyHeader, count);
  return count == length ? aErrNone : aErrIO;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data) {
  if (length > kI2C_MAX_TRANSFER) return aErrSize;
  if (!data && length > 0) return aErrParam;
  uint8_t request[aPACKET_MAX_DATA] = {cmdI2C, getIndex(), static_cast<uint8_t>(address & ~kReadBit), length,
                                       speed_};
  if (length) std::memcpy(request + 5, data, length);
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  const aErr result = exchange(request, static_cast<uint8_t>(5 + length), reply, &replyLength);
  if (result != aErrNone) return result;
  return reply[3] == length ? aErrNone : aErrIO;
}

aErr I2CClass::setPullup(uint8_t enable) {
  const uint8_t request[] = {cmdI2C, getIndex(), kPullup, static_cast<uint8_t>(enable ? 1 : 0)};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  return exchange(request, sizeof request, reply, &replyLength);
}

aErr I2CClass::setSpeed(uint8_t speed) {
  if (speed > kI2C_MAX_SPEED) return aErrParam;
  speed_ = speed;
  return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* speed) const {
  if (!speed) return aErrParam;
  *speed = speed_;
  return aErrNone;
}

}  // namespace Vorantix::Corvantis
