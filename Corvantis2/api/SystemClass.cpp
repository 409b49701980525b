#include "Corvantis2/api/SystemClass.h"

namespace Vorantix::Corvantis {

namespace {

constexpr uint8_t kPowerBehaviorConfig = 31;
constexpr uint8_t kName = 32;

}  // namespace

void SystemClass::init(Module* module, uint8_t index) { EntityClass::init(module, cmdSYSTEM, index); }

aErr SystemClass::getSigned(uint8_t option, int32_t* value) {
  if (!value) return aErrParam;
  uint32_t raw = 0;
  const aErr result = getUEI32(option, &raw);
  if (result == aErrNone || result == aErrStreamStale) *value = static_cast<int32_t>(raw);
  return result;
}

aErr SystemClass::getModule(uint8_t* value) { return getUEI8(1, value); }
aErr SystemClass::getRouter(uint8_t* value) { return getUEI8(2, value); }
aErr SystemClass::setRouter(uint8_t value) { return setUEI8(2, value); }
aErr SystemClass::getHBInterval(uint8_t* value) { return getUEI8(3, value); }
aErr SystemClass::setHBInterval(uint8_t value) { return setUEI8(3, value); }
aErr SystemClass::getLED(uint8_t* value) { return getUEI8(4, value); }
aErr SystemClass::setLED(uint8_t value) { return setUEI8(4, value); }
aErr SystemClass::getBootSlot(uint8_t* value) { return getUEI8(6, value); }
aErr SystemClass::setBootSlot(uint8_t value) { return setUEI8(6, value); }
aErr SystemClass::getVersion(uint32_t* value) { return getUEI32(7, value); }
aErr SystemClass::getModel(uint8_t* value) { return getUEI8(8, value); }
aErr SystemClass::getSerialNumber(uint32_t* value) { return getUEI32(9, value); }
aErr SystemClass::save() { return callUEI(10); }
aErr SystemClass::reset() { return callUEI(11); }
aErr SystemClass::getInputVoltage(uint32_t* value) { return getUEI32(12, value); }
aErr SystemClass::getModuleHardwareOffset(uint8_t* value) { return getUEI8(13, value); }
aErr SystemClass::getModuleBaseAddress(uint8_t* value) { return getUEI8(14, value); }
aErr SystemClass::getModuleSoftwareOffset(uint8_t* value) { return getUEI8(15, value); }
aErr SystemClass::setModuleSoftwareOffset(uint8_t value) { return setUEI8(15, value); }
aErr SystemClass::getRouterAddressSetting(uint8_t* value) { return getUEI8(16, value); }
aErr SystemClass::routeToMe(uint8_t value) { return setUEI8(20, value); }
aErr SystemClass::getInputCurrent(uint32_t* value) { return getUEI32(21, value); }
aErr SystemClass::getUptime(uint32_t* value) { return getUEI32(22, value); }
aErr SystemClass::getMaximumTemperature(int32_t* value) { return getSigned(23, value); }
aErr SystemClass::logEvents() { return callUEI(24); }
aErr SystemClass::getUnregulatedVoltage(int32_t* value) { return getSigned(25, value); }
aErr SystemClass::getUnregulatedCurrent(int32_t* value) { return getSigned(26, value); }
aErr SystemClass::getTemperature(int32_t* value) { return getSigned(27, value); }
aErr SystemClass::getMinimumTemperature(int32_t* value) { return getSigned(28, value); }
aErr SystemClass::getInputPowerSource(uint8_t* value) { return getUEI8(29, value); }
aErr SystemClass::getInputPowerBehavior(uint8_t* value) { return getUEI8(30, value); }
aErr SystemClass::setInputPowerBehavior(uint8_t value) { return setUEI8(30, value); }
aErr SystemClass::getPowerLimit(uint32_t* value) { return getUEI32(33, value); }
aErr SystemClass::getPowerLimitMax(uint32_t* value) { return getUEI32(34, value); }
aErr SystemClass::setPowerLimitMax(uint32_t value) { return setUEI32(34, value); }
aErr SystemClass::getPowerLimitState(uint32_t* value) { return getUEI32(35, value); }
aErr SystemClass::resetDeviceToFactoryDefaults() { return callUEI(37); }
aErr SystemClass::getLinkInterface(uint8_t* value) { return getUEI8(38, value); }
aErr SystemClass::setLinkInterface(uint8_t value) { return setUEI8(38, value); }
aErr SystemClass::getHardwareVersion(uint32_t* value) { return getUEI32(40, value); }
aErr SystemClass::getErrors(uint32_t* value) { return getUEI32(41, value); }
aErr SystemClass::getLEDMaxBrightness(uint8_t* value) { return getUEI8(42, value); }
aErr SystemClass::setLEDMaxBrightness(uint8_t value) { return setUEI8(42, value); }
aErr SystemClass::getBuild(uint32_t* value) { return getUEI32(43, value); }
aErr SystemClass::getProtocolFeatures(uint32_t* value) { return getUEI32(45, value); }

aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* words, size_t count) {
  if (!words && count > 0) return aErrParam;
  return setUEIBytes(kPowerBehaviorConfig, reinterpret_cast<const uint8_t*>(words), count * sizeof(uint32_t));
}

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* words, size_t* count) {
  if (!words || !count) return aErrParam;
  size_t received = 0;
  aErr result = getUEIBytes(kPowerBehaviorConfig, reinterpret_cast<uint8_t*>(words),
                            *count * sizeof(uint32_t), &received);
  if (result != aErrNone) return result;
  result = getUEIBytesCheck(&received, sizeof(uint32_t));
  if (result == aErrNone) *count = received;
  return result;
}

aErr SystemClass::setName(const uint8_t* name, size_t length) { return setUEIBytes(kName, name, length); }

aErr SystemClass::getName(uint8_t* buffer, size_t* length) {
  if (!buffer || !length) return aErrParam;
  size_t received = 0;
  aErr result = getUEIBytes(kName, buffer, *length, &received);
  if (result != aErrNone) return result;
  result = getUEIBytesCheck(&received, 1);
  if (result == aErrNone) *length = received;
  return result;
}

}  // namespace Vorantix::Corvantis
