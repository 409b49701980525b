// Device models behind umockdev's emulated usbfs nodes.
//
// libusb talks to a node with ioctls; each device's handler answers them:
//   GET_CAPABILITIES  bulk continuation, no packet size limit, zero packet
//                     and scatter-gather, so every transfer is one URB
//   SUBMITURB         control GET_DESCRIPTOR (device, configuration,
//                     string); bulk OUT (bytes go to the module's channel
//                     at once); bulk IN (queued until the module has bytes)
//   REAPURBNDELAY     a finished URB, or EAGAIN after a short pause (the
//                     node is a plain file, so libusb's poll always wakes:
//                     the pause keeps it from spinning)
//   DISCARDURB        a timed-out IN transfer comes back with -ENOENT
//   CLAIMINTERFACE... accepted (or refused as busy); GETDRIVER: no driver
// Descriptors: one configuration, one interface with a bulk IN (0x81) and a
// bulk OUT (0x02) endpoint; strings 1 maker, 2 product, 3 serial number.
#include "sim/vusb/UsbBus.h"

#include <fcntl.h>
#include <glib.h>
#include <link.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace vusb {

namespace {

constexpr uint8_t kEndpointIn = 0x81;
constexpr uint8_t kEndpointOut = 0x02;
constexpr uint8_t kSerialIndex = 3;
constexpr unsigned kIdlePauseUs = 2000;
constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";

using Bytes = std::vector<uint8_t>;

void PutLittle16(Bytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

Bytes DeviceDescriptor(const DeviceSpec& spec) {
  Bytes d{18, 1};
  PutLittle16(d, 0x0200);
  d.insert(d.end(), {0, 0, 0, 64});
  PutLittle16(d, spec.vendor);
  PutLittle16(d, spec.product);
  PutLittle16(d, 0x0100);
  d.insert(d.end(), {1, 2, static_cast<uint8_t>(spec.serial.empty() ? 0 : kSerialIndex), 1});
  return d;
}

Bytes ConfigDescriptor(const DeviceSpec& spec) {
  Bytes d{9, 2};
  PutLittle16(d, 9 + 9 + 7 + 7);
  d.insert(d.end(), {1, 1, 0, 0x80, 50});
  if (spec.dataInterface)
    d.insert(d.end(), {9, 4, 0, 0, 2, 0xFF, 0x88, 0x10, 0});
  else
    d.insert(d.end(), {9, 4, 0, 0, 2, 0xFF, 0x00, 0x00, 0});
  for (uint8_t address : {kEndpointIn, kEndpointOut}) {
    d.insert(d.end(), {7, 5, address, 2});
    PutLittle16(d, spec.maxPacket);
    d.push_back(0);
  }
  return d;
}

Bytes StringDescriptor(const std::string& text) {
  Bytes d{static_cast<uint8_t>(2 + 2 * text.size()), 3};
  for (char c : text) {
    d.push_back(static_cast<uint8_t>(c));
    d.push_back(0);
  }
  return d;
}

std::string Hex(const Bytes& bytes) {
  std::string out;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02X", b);
    out += two;
  }
  return out;
}

usbdevfs_urb* Urb(UMockdevIoctlData* data) { return reinterpret_cast<usbdevfs_urb*>(data->data); }

}  // namespace

struct Device;

// One stay of a device on the bus. Handles opened during an earlier stay
// stay dead (ENODEV) after a re-plug, as on a real bus.
struct Plugging {
  Device* device;
  uint32_t generation;
  std::string devNode;
  UMockdevIoctlBase* handler = nullptr;      // stays attached: old handles must keep failing
  std::deque<UMockdevIoctlData*> pendingIn;  // submitted IN URBs waiting for bytes
  std::deque<UMockdevIoctlData*> finished;   // ready to be reaped

  ~Plugging() {
    for (auto* list : {&pendingIn, &finished})
      for (UMockdevIoctlData* urb : *list) umockdev_ioctl_data_unref(urb);
  }
};

struct Device {
  int id = 0;
  DeviceSpec spec;  // guarded by lock
  vmodule::VirtualModule* module = nullptr;
  std::unique_ptr<vmodule::VirtualModule> owned;
  DeviceKnobs knobs;
  DeviceCounters counters;

  mutable std::mutex lock;  // guards everything below
  bool present = false;
  uint32_t generation = 0;
  std::vector<std::unique_ptr<Plugging>> pluggings;  // live as long as the device
  std::string sysPath;
  std::string devNode;
  int channel = -1;  // host end of the module's channel
  std::vector<size_t> outTransfers;
};

struct UsbBus::Impl {
  UMockdevTestbed* testbed = nullptr;
  std::string rootDir;
  std::map<int, std::unique_ptr<Device>> devices;  // ids never reused; set up before use
  int nextId = 1;
  int nextDevnum = 2;  // guarded by planLock
  std::mutex planLock;

  // Delayed re-plugs, run by plugThread.
  struct Plan {
    int id;
    std::chrono::steady_clock::time_point at;
    bool unplug;  // else plug in, as `as` when given
    std::optional<DeviceSpec> as;
  };
  std::vector<Plan> plans;  // guarded by planLock
  std::condition_variable planChanged;
  bool stopping = false;  // guarded by planLock
  std::thread plugThread;
  std::mutex testbedLock;  // serialises testbed changes from the test and plug threads

  Device& Get(int id) const { return *devices.at(id); }

  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer ref) {
    auto* plugging = static_cast<Plugging*>(ref);
    return Answer(*plugging->device, *plugging, client);
  }

  static gboolean Answer(Device& d, Plugging& p, UMockdevIoctlClient* client) {
    ++d.counters.ioctls;
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::unique_lock<std::mutex> guard(d.lock);
    if (!d.present || p.generation != d.generation) {
      // Gone: transfers in flight come back as "device removed" (the node
      // cannot signal POLLERR, so libusb learns it from them); all else fails.
      if ((request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) && !p.finished.empty())
        return Reap(d, p, client, arg, guard);
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return TRUE;
    }
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
        *reinterpret_cast<guint32*>(caps->data) = USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                                  USBDEVFS_CAP_BULK_CONTINUATION |
                                                  USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_ZERO_PACKET;
        umockdev_ioctl_data_unref(caps);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
      }
      case USBDEVFS_CLAIMINTERFACE:
        ++d.counters.claims;
        if (d.knobs.claimBusy) {
          umockdev_ioctl_client_complete(client, -1, EBUSY);
          return TRUE;
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
      case USBDEVFS_CLEAR_HALT:
        ++d.counters.clearHalts;
        umockdev_ioctl_client_complete(client, d.knobs.clearHaltFails ? -1 : 0,
                                       d.knobs.clearHaltFails ? EPIPE : 0);
        return TRUE;
      case USBDEVFS_RELEASEINTERFACE:
      case USBDEVFS_RESET:
      case USBDEVFS_RESETEP:
      case USBDEVFS_SETINTERFACE:
      case USBDEVFS_SETCONFIGURATION: umockdev_ioctl_client_complete(client, 0, 0); return TRUE;
      case USBDEVFS_GETDRIVER: umockdev_ioctl_client_complete(client, -1, ENODATA); return TRUE;
      case USBDEVFS_SUBMITURB: return Submit(d, p, client, arg);
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY: return Reap(d, p, client, arg, guard);
      case USBDEVFS_DISCARDURB: {
        const gulong address = *reinterpret_cast<gulong*>(arg->data);
        auto at = std::find_if(p.pendingIn.begin(), p.pendingIn.end(),
                               [&](UMockdevIoctlData* urb) { return urb->client_addr == address; });
        if (at == p.pendingIn.end()) {
          umockdev_ioctl_client_complete(client, -1, EINVAL);
          return TRUE;
        }
        Urb(*at)->status = -ENOENT;
        Urb(*at)->actual_length = 0;
        p.finished.push_back(*at);
        p.pendingIn.erase(at);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
      }
      default:
        std::fprintf(stderr, "vusb: device %d: unhandled ioctl 0x%lx\n", d.id, request);
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
  }

  static void Finish(Plugging& p, UMockdevIoctlData* urb, int status, int actual) {
    Urb(urb)->status = status;
    Urb(urb)->actual_length = actual;
    p.finished.push_back(urb);
  }

  static bool TakeOne(std::atomic<uint32_t>& counter) {
    uint32_t n = counter;
    while (n > 0 && !counter.compare_exchange_weak(n, n - 1)) {
    }
    return n > 0;
  }

  // Caller holds d.lock.
  static gboolean Submit(Device& d, Plugging& p, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    usbdevfs_urb* u = Urb(urb);
    const int length = std::max(u->buffer_length, 0);
    UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(urb, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                                            static_cast<gsize>(length), nullptr);
    if (buffer) umockdev_ioctl_data_unref(buffer);  // the URB keeps it; u->buffer now points at it
    auto* bytes = static_cast<uint8_t*>(u->buffer);
    if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
      Control(d, p, urb, bytes, length);
    } else if (u->type == USBDEVFS_URB_TYPE_BULK && (u->endpoint & 0x80)) {
      ++d.counters.inTransfers;
      if (TakeOne(d.knobs.stallIn))
        Finish(p, urb, -EPIPE, 0);
      else if (TakeOne(d.knobs.ioErrorsIn))
        Finish(p, urb, -EPROTO, 0);
      else
        p.pendingIn.push_back(urb);
    } else if (u->type == USBDEVFS_URB_TYPE_BULK) {
      if (TakeOne(d.knobs.stallOut)) {
        Finish(p, urb, -EPIPE, 0);
      } else if (TakeOne(d.knobs.ioErrorsOut)) {
        Finish(p, urb, -EPROTO, 0);
      } else {
        const uint32_t partial = d.knobs.partialOut.exchange(0);
        const int taken = partial ? std::min(length, static_cast<int>(partial)) : length;
        d.outTransfers.push_back(static_cast<size_t>(taken));
        if (d.channel >= 0) {
          for (int sent = 0; sent < taken;) {
            const ssize_t n = send(d.channel, bytes + sent, static_cast<size_t>(taken - sent), MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<int>(n);
          }
        }
        Finish(p, urb, partial ? -EPROTO : 0, taken);
      }
    } else {
      umockdev_ioctl_data_unref(urb);
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return TRUE;
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
  }

  // Standard GET_DESCRIPTOR requests; anything else stalls.
  static void Control(const Device& d, Plugging& p, UMockdevIoctlData* urb, uint8_t* bytes, int length) {
    if (length < 8) return Finish(p, urb, -EPIPE, 0);
    const uint8_t requestType = bytes[0], request = bytes[1];
    const uint8_t index = bytes[2], type = bytes[3];
    const int wanted = bytes[6] | bytes[7] << 8;
    Bytes reply;
    if (requestType == 0x80 && request == 6) {
      switch (type) {
        case 1: reply = DeviceDescriptor(d.spec); break;
        case 2: reply = ConfigDescriptor(d.spec); break;
        case 3:
          if (index == 0) reply = {4, 3, 0x09, 0x04};
          if (index == 1) reply = StringDescriptor("Vorantix");
          if (index == 2) reply = StringDescriptor("Corvantis module");
          if (index == kSerialIndex && !d.spec.serial.empty()) reply = StringDescriptor(d.spec.serial);
          break;
        default: break;
      }
    }
    if (reply.empty()) return Finish(p, urb, -EPIPE, 0);
    const int n = std::min({static_cast<int>(reply.size()), wanted, length - 8});
    std::memcpy(bytes + 8, reply.data(), static_cast<size_t>(n));
    Finish(p, urb, 0, n);
  }

  // Caller holds d.lock (through guard).
  static gboolean Reap(Device& d, Plugging& p, UMockdevIoctlClient* client, UMockdevIoctlData* arg,
                       std::unique_lock<std::mutex>& guard) {
    if (p.finished.empty() && !p.pendingIn.empty() && d.channel >= 0) {
      UMockdevIoctlData* urb = p.pendingIn.front();
      usbdevfs_urb* u = Urb(urb);
      const ssize_t got =
          recv(d.channel, u->buffer, static_cast<size_t>(std::max(u->buffer_length, 0)), MSG_DONTWAIT);
      if (got > 0) {
        p.pendingIn.pop_front();
        Finish(p, urb, 0, static_cast<int>(got));
      }
    }
    if (p.finished.empty()) {
      guard.unlock();
      g_usleep(kIdlePauseUs);
      umockdev_ioctl_client_complete(client, -1, EAGAIN);
      return TRUE;
    }
    UMockdevIoctlData* urb = p.finished.front();
    p.finished.pop_front();
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
    umockdev_ioctl_data_set_ptr(slot, 0, urb);
    umockdev_ioctl_data_unref(slot);
    umockdev_ioctl_data_unref(urb);
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
  }

  std::string Record(const Device& d, int devnum) const {
    const DeviceSpec& s = d.spec;
    char text[2048];
    std::snprintf(text, sizeof text,
                  "P: %s\nN: bus/usb/001/%03d\nE: SUBSYSTEM=usb\nE: DEVNAME=/dev/bus/usb/001/%03d\n"
                  "E: DEVTYPE=usb_device\nE: BUSNUM=001\nE: DEVNUM=%03d\nE: PRODUCT=%x/%x/100\n"
                  "A: busnum=1\\n\nA: devnum=%d\\n\nA: speed=%s\\n\nA: bConfigurationValue=1\\n\n"
                  "A: bNumConfigurations=1\\n\nA: idVendor=%04x\\n\nA: idProduct=%04x\\n\n"
                  "H: descriptors=%s%s\n",
                  d.sysPath.c_str(), devnum, devnum, devnum, s.vendor, s.product, devnum,
                  s.maxPacket > 64 ? "480" : "12", s.vendor, s.product, Hex(DeviceDescriptor(s)).c_str(),
                  Hex(ConfigDescriptor(s)).c_str());
    std::string record = text;
    if (!s.serial.empty()) record += "A: serial=" + s.serial + "\\n\n";
    return record;
  }

  // Caller holds testbedLock.
  void PlugLocked(Device& d, const std::optional<DeviceSpec>& as) {
    int devnum = 0;
    {
      std::lock_guard<std::mutex> guard(planLock);
      devnum = nextDevnum++;
    }
    std::lock_guard<std::mutex> guard(d.lock);
    if (d.present) return;
    if (as) d.spec = *as;
    d.sysPath = "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(devnum);
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", devnum);
    d.devNode = node;
    d.pluggings.push_back(std::make_unique<Plugging>());
    Plugging& p = *d.pluggings.back();
    p.device = &d;
    p.generation = ++d.generation;
    p.devNode = d.devNode;
    p.handler = umockdev_ioctl_base_new();
    g_signal_connect(p.handler, "handle-ioctl", G_CALLBACK(OnIoctl), &p);
    GError* error = nullptr;
    // The handler first, so that the node answers as soon as the device shows.
    if (!umockdev_testbed_attach_ioctl(testbed, d.devNode.c_str(), p.handler, &error)) {
      std::fprintf(stderr, "vusb: cannot attach %s: %s\n", node, error ? error->message : "?");
      g_clear_error(&error);
    }
    if (!umockdev_testbed_add_from_string(testbed, Record(d, devnum).c_str(), &error)) {
      std::fprintf(stderr, "vusb: cannot add device %d: %s\n", d.id, error ? error->message : "?");
      g_clear_error(&error);
    }
    if (d.module && d.channel < 0) d.channel = d.module->OpenChannel();
    d.present = true;
    ++d.counters.plugs;
  }

  // Caller holds testbedLock.
  void UnplugLocked(Device& d) {
    std::string sysPath;
    {
      std::lock_guard<std::mutex> guard(d.lock);
      if (!d.present) return;
      d.present = false;
      Plugging& p = *d.pluggings.back();
      for (UMockdevIoctlData* urb : p.pendingIn) {
        Urb(urb)->status = -ENODEV;
        Urb(urb)->actual_length = 0;
        p.finished.push_back(urb);
      }
      p.pendingIn.clear();
      // The module's session ends with its channel, as a device's does when
      // it leaves the bus.
      if (d.channel >= 0) close(d.channel);
      d.channel = -1;
      sysPath = d.sysPath;
    }
    // libusb hears of the removal only from the event; removing alone is silent.
    const std::string inSys = "/sys" + sysPath;
    umockdev_testbed_uevent(testbed, inSys.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, inSys.c_str());
  }

  void PlugLoop() {
    pthread_setname_np(pthread_self(), "vusbPlug");
    std::unique_lock<std::mutex> guard(planLock);
    while (!stopping) {
      if (plans.empty()) {
        planChanged.wait(guard);
        continue;
      }
      // The earliest first; plans due at the same time in the order made.
      auto next = std::min_element(plans.begin(), plans.end(),
                                   [](const Plan& a, const Plan& b) { return a.at < b.at; });
      if (std::chrono::steady_clock::now() < next->at) {
        planChanged.wait_until(guard, next->at);
        continue;
      }
      Plan plan = *next;
      plans.erase(next);
      guard.unlock();
      {
        std::lock_guard<std::mutex> bus(testbedLock);
        if (plan.unplug)
          UnplugLocked(Get(plan.id));
        else
          PlugLocked(Get(plan.id), plan.as);
      }
      guard.lock();
    }
  }
};

UsbBus::UsbBus() : impl_(std::make_unique<Impl>()) {
  impl_->testbed = umockdev_testbed_new();
  gchar* root = umockdev_testbed_get_root_dir(impl_->testbed);
  impl_->rootDir = root;
  g_free(root);
  impl_->plugThread = std::thread([this] { impl_->PlugLoop(); });
}

UsbBus::~UsbBus() {
  {
    std::lock_guard<std::mutex> guard(impl_->planLock);
    impl_->stopping = true;
  }
  impl_->planChanged.notify_all();
  impl_->plugThread.join();
  {
    std::lock_guard<std::mutex> bus(impl_->testbedLock);
    for (auto& [id, device] : impl_->devices) impl_->UnplugLocked(*device);
  }
  for (auto& [id, device] : impl_->devices) {
    if (device->owned) device->owned->Stop();
    for (auto& p : device->pluggings) {
      umockdev_testbed_detach_ioctl(impl_->testbed, p->devNode.c_str(), nullptr);
      g_object_unref(p->handler);
      p->handler = nullptr;
    }
  }
  g_object_unref(impl_->testbed);
}

int UsbBus::Add(const DeviceSpec& spec, vmodule::VirtualModule* module) {
  auto device = std::make_unique<Device>();
  device->id = impl_->nextId++;
  device->spec = spec;
  device->module = module;
  Device& d = *device;
  impl_->devices.emplace(d.id, std::move(device));
  const int id = d.id;
  if (module) module->SetRestartListener([this, id](uint32_t downMs) { Restart(id, downMs); });
  std::lock_guard<std::mutex> bus(impl_->testbedLock);
  impl_->PlugLocked(d, std::nullopt);
  return id;
}

int UsbBus::AddModule(const DeviceSpec& spec, vmodule::Options options) {
  options.tcpPort = -1;
  options.ptyLink.clear();
  auto module = std::make_unique<vmodule::VirtualModule>(std::move(options));
  vmodule::VirtualModule* raw = module.get();
  const int id = Add(spec, raw);
  impl_->Get(id).owned = std::move(module);
  return id;
}

void UsbBus::Unplug(int id) {
  std::lock_guard<std::mutex> bus(impl_->testbedLock);
  impl_->UnplugLocked(impl_->Get(id));
}

void UsbBus::Plug(int id, const std::optional<DeviceSpec>& comeBackAs) {
  std::lock_guard<std::mutex> bus(impl_->testbedLock);
  impl_->PlugLocked(impl_->Get(id), comeBackAs);
}

void UsbBus::Restart(int id, uint32_t downMs, const std::optional<DeviceSpec>& comeBackAs) {
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> guard(impl_->planLock);
    impl_->plans.push_back(Impl::Plan{id, now, true, std::nullopt});
    impl_->plans.push_back(Impl::Plan{id, now + std::chrono::milliseconds(downMs), false, comeBackAs});
  }
  impl_->planChanged.notify_all();
}

bool UsbBus::Present(int id) const {
  Device& d = impl_->Get(id);
  std::lock_guard<std::mutex> guard(d.lock);
  return d.present;
}

DeviceKnobs& UsbBus::knobs(int id) { return impl_->Get(id).knobs; }
const DeviceCounters& UsbBus::counters(int id) const { return impl_->Get(id).counters; }

std::vector<size_t> UsbBus::OutTransfers(int id) const {
  Device& d = impl_->Get(id);
  std::lock_guard<std::mutex> guard(d.lock);
  return d.outTransfers;
}

void UsbBus::ClearOutTransfers(int id) {
  Device& d = impl_->Get(id);
  std::lock_guard<std::mutex> guard(d.lock);
  d.outTransfers.clear();
}

vmodule::VirtualModule* UsbBus::module(int id) const { return impl_->Get(id).module; }

std::string UsbBus::RootDir() const { return impl_->rootDir; }

bool UsbBus::AddNodeLink(const std::string& name, const std::string& target) {
  const std::string dir = impl_->rootDir + "/dev";
  g_mkdir_with_parents(dir.c_str(), 0755);
  const std::string path = dir + "/" + name;
  unlink(path.c_str());
  return symlink(target.c_str(), path.c_str()) == 0;
}

namespace {

int FindSanitizer(dl_phdr_info* info, size_t, void* ref) {
  const char* name = info->dlpi_name;
  if (name && (std::strstr(name, "libasan.so") || std::strstr(name, "libtsan.so"))) {
    *static_cast<std::string*>(ref) = name;
    return 1;
  }
  return 0;
}

}  // namespace

std::string PreloadEnvironment() {
  std::string sanitizer;
  dl_iterate_phdr(FindSanitizer, &sanitizer);
  std::string value;
  if (!sanitizer.empty()) value = sanitizer + ":";
  value += kPreloadLibrary;
  const char* existing = std::getenv("LD_PRELOAD");
  if (existing && *existing && !std::strstr(existing, kPreloadLibrary)) value = value + ":" + existing;
  if (existing && std::strstr(existing, kPreloadLibrary)) value = existing;
  return value;
}

bool UnderPreload() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload && std::strstr(preload, kPreloadLibrary);
}

bool RunUnderPreload(char** argv) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload && std::strstr(preload, kPreloadLibrary)) return true;
  const std::string value = PreloadEnvironment();
  setenv("LD_PRELOAD", value.c_str(), 1);
  execv("/proc/self/exe", argv);
  std::fprintf(stderr, "vusb: cannot re-execute under %s: %s\n", kPreloadLibrary, std::strerror(errno));
  return false;
}

}  // namespace vusb
