// The system entity (class 3) of a module: identity, versions, power,
// temperature, name and the device-wide calls, one operation per option.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Corvantis2/api/EntityClass.h"

namespace Vorantix::Corvantis {

inline constexpr uint8_t cmdSYSTEM = 3;
// Bit 31 of the protocol features: the device accepts pooled packets.
inline constexpr uint32_t kPROTOCOL_FEATURE_POOLED = 0x80000000u;

class SystemClass : public EntityClass {
 public:
  SystemClass() = default;
  ~SystemClass() override = default;

  void init(Module* module, uint8_t index);

  aErr getModule(uint8_t* value);                // option 1
  aErr getRouter(uint8_t* value);                // option 2
  aErr setRouter(uint8_t value);                 // option 2
  aErr getHBInterval(uint8_t* value);            // option 3
  aErr setHBInterval(uint8_t value);             // option 3
  aErr getLED(uint8_t* value);                   // option 4
  aErr setLED(uint8_t value);                    // option 4
  aErr getBootSlot(uint8_t* value);              // option 6
  aErr setBootSlot(uint8_t value);               // option 6
  aErr getVersion(uint32_t* value);              // option 7
  aErr getModel(uint8_t* value);                 // option 8
  aErr getSerialNumber(uint32_t* value);         // option 9
  aErr save();                                   // option 10
  aErr reset();                                  // option 11
  aErr getInputVoltage(uint32_t* value);         // option 12
  aErr getModuleHardwareOffset(uint8_t* value);  // option 13
  aErr getModuleBaseAddress(uint8_t* value);     // option 14
  aErr getModuleSoftwareOffset(uint8_t* value);  // option 15
  aErr setModuleSoftwareOffset(uint8_t value);   // option 15
  aErr getRouterAddressSetting(uint8_t* value);  // option 16
  aErr routeToMe(uint8_t value);                 // option 20
  aErr getInputCurrent(uint32_t* value);         // option 21
  aErr getUptime(uint32_t* value);               // option 22
  aErr getMaximumTemperature(int32_t* value);    // option 23
  aErr logEvents();                              // option 24
  aErr getUnregulatedVoltage(int32_t* value);    // option 25
  aErr getUnregulatedCurrent(int32_t* value);    // option 26
  aErr getTemperature(int32_t* value);           // option 27
  aErr getMinimumTemperature(int32_t* value);    // option 28
  aErr getInputPowerSource(uint8_t* value);      // option 29
  aErr getInputPowerBehavior(uint8_t* value);    // option 30
  aErr setInputPowerBehavior(uint8_t value);     // option 30
  aErr getPowerLimit(uint32_t* value);           // option 33
  aErr getPowerLimitMax(uint32_t* value);        // option 34
  aErr setPowerLimitMax(uint32_t value);         // option 34
  aErr getPowerLimitState(uint32_t* value);      // option 35
  aErr resetDeviceToFactoryDefaults();           // option 37
  aErr getLinkInterface(uint8_t* value);         // option 38
  aErr setLinkInterface(uint8_t value);          // option 38
  aErr getHardwareVersion(uint32_t* value);      // option 40
  aErr getErrors(uint32_t* value);               // option 41
  aErr getLEDMaxBrightness(uint8_t* value);      // option 42
  aErr setLEDMaxBrightness(uint8_t value);       // option 42
  aErr getBuild(uint32_t* value);                // option 43
  aErr getProtocolFeatures(uint32_t* value);     // option 45
  // option 31: count words as they lie in memory.
  aErr setInputPowerBehaviorConfig(const uint32_t* words, size_t count);
  // option 31: on entry *count is the buffer's capacity in words; on return
  // the number of words read.
  aErr getInputPowerBehaviorConfig(uint32_t* words, size_t* count);
  // option 32
  aErr setName(const uint8_t* name, size_t length);
  // option 32: *length is the buffer's capacity on entry, the name's length on return.
  aErr getName(uint8_t* buffer, size_t* length);

 private:
  aErr getSigned(uint8_t option, int32_t* value);
};

}  // namespace Vorantix::Corvantis
