// The USB test double: an emulated USB bus (umockdev) whose devices are
// answered by virtual modules, so that the product's unmodified libusb
// calls reach the same module model as over TCP and serial; only the
// transport differs.
//
// Programs see the bus when they run under umockdev's preload library:
// in-process tests re-execute themselves under it (RunUnderPreload), other
// programs are started with PreloadEnvironment() (vusb-run does this).
//
// Threads: umockdev's worker thread answers the device nodes' ioctls (the
// device models lock their own state); one named thread ("vusbPlug") runs
// delayed re-plugs. Both are owned by the UsbBus and stopped by its
// destructor. GLib and umockdev stay inside UsbBus.cpp.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/vmodule/VirtualModule.h"

namespace vusb {

inline constexpr uint16_t kCorvantisVendor = 0x1209;

// What the host sees of one device.
struct DeviceSpec {
  uint16_t vendor = kCorvantisVendor;
  uint16_t product = 0x0005;        // the low 8 bits are the model
  std::string serial = "0000002A";  // serial-number string; empty: none
  uint16_t maxPacket = 512;         // both bulk endpoints (64 for full speed)
  bool dataInterface = true;        // the vendor interface 0xFF/0x88/0x10
};

// Misbehaviour, changeable at any time. Counts are used up one transfer
// at a time.
struct DeviceKnobs {
  std::atomic<bool> claimBusy{false};    // interface claim refused (EBUSY)
  std::atomic<uint32_t> stallOut{0};     // next OUT transfers stall
  std::atomic<uint32_t> stallIn{0};      // next IN transfers stall
  std::atomic<uint32_t> ioErrorsOut{0};  // next OUT transfers fail (EPROTO)
  std::atomic<uint32_t> ioErrorsIn{0};   // next IN transfers fail (EPROTO)
  std::atomic<uint32_t> partialOut{0};   // next OUT transfer takes this many bytes, then fails
  std::atomic<bool> clearHaltFails{false};
};

struct DeviceCounters {
  std::atomic<uint32_t> ioctls{0};
  std::atomic<uint32_t> claims{0};
  std::atomic<uint32_t> clearHalts{0};
  std::atomic<uint32_t> inTransfers{0};
  std::atomic<uint32_t> plugs{0};
};

class UsbBus {
 public:
  // Makes the emulated bus (a umockdev testbed; its environment variable is
  // set in this process, so children started afterwards inherit it).
  UsbBus();
  ~UsbBus();
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  // Plugs in a device answered by `module` (borrowed, may be null: OUT
  // bytes are then dropped and IN transfers never get data). Its restart
  // requests (VirtualModule::Restart) unplug and re-plug this device.
  // Returns the device's id.
  int Add(const DeviceSpec& spec, vmodule::VirtualModule* module);
  // The same with a module made from `options` and owned by the bus.
  int AddModule(const DeviceSpec& spec, vmodule::Options options);

  // Unplug sends the removal event and takes the device off the bus; its
  // open handles fail with ENODEV from then on. Plug puts it back (with a
  // new device number, as a re-enumeration gives), as `comeBackAs` when given.
  void Unplug(int id);
  void Plug(int id, const std::optional<DeviceSpec>& comeBackAs = std::nullopt);
  // Unplug now and plug back after downMs on the bus's own thread; never
  // blocks (usable from a module's request handler).
  void Restart(int id, uint32_t downMs, const std::optional<DeviceSpec>& comeBackAs = std::nullopt);
  bool Present(int id) const;

  DeviceKnobs& knobs(int id);
  const DeviceCounters& counters(int id) const;
  // Lengths of the OUT transfers the device accepted, in order.
  std::vector<size_t> OutTransfers(int id) const;
  void ClearOutTransfers(int id);
  vmodule::VirtualModule* module(int id) const;

  // The testbed's root directory (the emulated /sys and /dev live there).
  std::string RootDir() const;
  // Makes "/dev/NAME" (as the preloaded program sees it) a link to `target`.
  bool AddNodeLink(const std::string& name, const std::string& target);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The LD_PRELOAD value that puts a program on the emulated bus: a sanitizer
// runtime this process has loaded first (it insists on it), then umockdev's
// library, then what LD_PRELOAD held already.
std::string PreloadEnvironment();
// True when this process runs under umockdev's preload library.
bool UnderPreload();
// Re-executes this program under the preload when it is not already (for
// in-process tests); returns only when it is under it, or on failure (with
// a message on stderr, false).
bool RunUnderPreload(char** argv);

}  // namespace vusb
