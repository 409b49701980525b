// cvusb: family devices on USB through libusb or the kernel driver's node.
#include "Corvantis2/unix/cvusb.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "Corvantis2/unix/aFile.h"

namespace {

libusb_context* _libusbContext = nullptr;  // guarded by _libusbContextLock
std::mutex _libusbContextLock;

// One more aErrIO is absorbed while fewer than cvusbERROR_TOLERANCE came
// before it; the fifth in a row gives the device up (state 5, final).
aErr sTolerate(cvusb_device* device, aErr err) {
  if (device->state == cvusbStateFailed) return aErrIO;  // and the count stays put
  if (err != aErrIO) {
    device->errorCount = 0;
    return err;
  }
  const uint8_t before = device->errorCount.fetch_add(1);
  if (before < cvusbERROR_TOLERANCE) return aErrNone;
  device->state = cvusbStateFailed;
  return aErrIO;
}

// The results every libusb-path transfer checks first.
aErr sUsableState(const cvusb_device* device) {
  switch (device->state.load()) {
    case cvusbStateReady: return aErrNone;
    case cvusbStateClosed: return aErrConnection;
    case cvusbStateCreated:
    case cvusbStateOpening: return aErrNotReady;
    default: return aErrIO;
  }
}

// Finds the data interface of configuration 0 and its endpoints.
aErr sReadEndpoints(cvusb_device* device, libusb_device* usbDevice) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_config_descriptor(usbDevice, 0, &config) != LIBUSB_SUCCESS || !config)
    return aErrConfiguration;
  bool found = false;
  uint8_t inEndpoint = 0, outEndpoint = 0;
  uint16_t inMax = 0, outMax = 0;
  for (uint8_t i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      const libusb_interface_descriptor& alt = interface.altsetting[a];
      if (alt.bInterfaceClass != cvusbINTERFACE_CLASS || alt.bInterfaceSubClass != cvusbINTERFACE_SUBCLASS ||
          alt.bInterfaceProtocol != cvusbINTERFACE_PROTOCOL)
        continue;
      // Several matching settings: the last one seen wins.
      found = true;
      device->interfaceNumber = alt.bInterfaceNumber;
      inEndpoint = outEndpoint = 0;
      inMax = outMax = 0;
      for (uint8_t e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& endpoint = alt.endpoint[e];
        if (!(endpoint.bmAttributes & 0x02)) continue;  // bulk or interrupt only
        if (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
          inEndpoint = endpoint.bEndpointAddress;
          inMax = endpoint.wMaxPacketSize;
        } else {
          outEndpoint = endpoint.bEndpointAddress;
          outMax = endpoint.wMaxPacketSize;
        }
      }
    }
  }
  libusb_free_config_descriptor(config);
  if (!found || !inEndpoint || !outEndpoint || !outMax) return aErrConfiguration;
  device->inEndpoint = inEndpoint;
  device->outEndpoint = outEndpoint;
  device->inMaxPacket = inMax;
  device->outMaxPacket = outMax;
  return aErrNone;
}

aErr sClaimError(int result) {
  switch (result) {
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE: return aErrBusy;
    case LIBUSB_ERROR_ACCESS: return aErrPermission;
    default: return aErrUnknown;
  }
}

// Caller has matched the device: read its interface and claim it.
aErr sTakeMatched(cvusb_device* device, libusb_device* usbDevice, const char* serialText) {
  std::snprintf(device->serialText, sizeof device->serialText, "%s", serialText);
  device->state = cvusbStateOpening;
  if (aErr err = sReadEndpoints(device, usbDevice); err != aErrNone) return err;
  const int claimed = libusb_claim_interface(device->handle, device->interfaceNumber);
  if (claimed != LIBUSB_SUCCESS) return sClaimError(claimed);
  device->readAvailable = 0;
  device->readNext = device->readBuffer;
  device->errorCount = 0;
  device->state = cvusbStateReady;
  return aErrNone;
}

}  // namespace

libusb_context* Corvantis_libusb_context() {
  std::lock_guard<std::mutex> guard(_libusbContextLock);
  if (!_libusbContext && libusb_init(&_libusbContext) != LIBUSB_SUCCESS) _libusbContext = nullptr;
  return _libusbContext;
}

aErr Corvantis_libusb_init() { return Corvantis_libusb_context() ? aErrNone : aErrInitialization; }

void Corvantis_libusb_exit() {
  std::lock_guard<std::mutex> guard(_libusbContextLock);
  if (_libusbContext) libusb_exit(_libusbContext);
  _libusbContext = nullptr;
}

bool Corvantis_libusb_context_exists() {
  std::lock_guard<std::mutex> guard(_libusbContextLock);
  return _libusbContext != nullptr;
}

bool is_corvantis_device(libusb_device* device) {
  libusb_device_descriptor descriptor{};
  if (!device || libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) return false;
  return descriptor.idVendor == CORVANTIS_VENDOR_ID && !(descriptor.idProduct & 0x8000);
}

cvusb_device* cvusb_create_usb(bool useLibusb) {
  auto* device = new (std::nothrow) cvusb_device{};
  if (!device) return nullptr;
  device->useLibusb = useLibusb ? 1 : 0;
  device->state = cvusbStateCreated;
  device->readNext = device->readBuffer;
  // A machine without USB still gets a record: the open then finds nothing.
  if (useLibusb) Corvantis_libusb_context();
  return device;
}

aErr cvusb_destroy(cvusb_device** device) {
  if (!device || !*device) return aErrParam;
  cvusb_device* doomed = *device;
  *device = nullptr;
  if (doomed->handle) {
    libusb_release_interface(doomed->handle, doomed->interfaceNumber);
    libusb_close(doomed->handle);
  }
  if (doomed->fd > 0) close(doomed->fd);
  delete doomed;
  return aErrNone;
}

bool cvusb_is_kernel_driver_installed(uint32_t serialNumber) {
  char path[64];
  std::snprintf(path, sizeof path, cvusbKERNEL_NODE_FORMAT, serialNumber);
  return aFile_Exists(path);
}

aErr cvusb_open_corvantis_device(cvusb_device* device, const char* serialText) {
  if (!device || !serialText) return aErrParam;
  return device->useLibusb ? cvusb_open_corvantis_USBlib_device(device, serialText)
                           : cvusb_open_corvantis_kernel_device(device, serialText);
}

aErr cvusb_write_to_device(cvusb_device* device, const uint8_t* bytes, size_t length) {
  if (!device || (!bytes && length)) return aErrParam;
  return device->useLibusb ? cvusb_write_to_USBlib_device(device, bytes, length)
                           : cvusb_write_to_kernel_device(device, bytes, length);
}

aErr cvusb_get_from_device(cvusb_device* device, uint8_t* byte) {
  if (!device || !byte) return aErrParam;
  return device->useLibusb ? cvusb_get_from_USBlib_device(device, byte)
                           : cvusb_get_from_kernel_device(device, byte);
}

aErr cvusb_close_corvantis_device(cvusb_device* device) {
  if (!device) return aErrParam;
  return device->useLibusb ? cvusb_close_corvantis_USBlib_device(device)
                           : cvusb_close_corvantis_kernel_device(device);
}

aErr cvusb_open_corvantis_USBlib_device(cvusb_device* device, const char* serialText) {
  if (!device || !serialText) return aErrParam;
  if (!device->useLibusb) return aErrMode;
  if (device->state == cvusbStateNone) return aErrResource;
  libusb_context* context = Corvantis_libusb_context();
  if (!context) return aErrNotFound;
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context, &list);
  aErr err = aErrNotFound;
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device* usbDevice = list[i];
    if (!is_corvantis_device(usbDevice)) continue;
    libusb_device_handle* handle = nullptr;
    if (libusb_open(usbDevice, &handle) != LIBUSB_SUCCESS) continue;
    libusb_device_descriptor descriptor{};
    unsigned char serial[cvusbSERIAL_TEXT_SIZE] = {};
    const bool matches =
        libusb_get_device_descriptor(usbDevice, &descriptor) == LIBUSB_SUCCESS && descriptor.iSerialNumber &&
        libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, serial, sizeof serial - 1) > 0 &&
        std::strcmp(reinterpret_cast<const char*>(serial), serialText) == 0;
    if (!matches) {
      libusb_close(handle);
      continue;
    }
    device->handle = handle;
    err = sTakeMatched(device, usbDevice, serialText);
    if (err != aErrNone) {
      libusb_close(device->handle);
      device->handle = nullptr;
      device->state = cvusbStateClosed;
    }
    break;
  }
  if (list) libusb_free_device_list(list, 1);
  return err;
}

aErr cvusb_write_to_USBlib_device(cvusb_device* device, const uint8_t* bytes, size_t length) {
  if (!device || (!bytes && length)) return aErrParam;
  if (!device->useLibusb) return aErrMode;
  if (aErr err = sUsableState(device); err != aErrNone) return sTolerate(device, err);
  aErr err = aErrNone;
  size_t sent = 0;
  int failures = 0;
  while (sent < length && failures < cvusbMAX_WRITE_FAILURES) {
    size_t chunk = length - sent;
    if (chunk > device->outMaxPacket) chunk = device->outMaxPacket;
    // A transfer of exactly 512 bytes would need a zero-length packet after
    // it on a high-speed bulk endpoint; 511 ends it without one.
    if (chunk == 512) chunk = 511;
    int transferred = 0;
    const int result =
        libusb_bulk_transfer(device->handle, device->outEndpoint, const_cast<uint8_t*>(bytes + sent),
                             static_cast<int>(chunk), &transferred, cvusbWRITE_TIMEOUT_MS);
    // Bytes the device took are never sent again, even from a failed
    // transfer: repeating them would corrupt the stream.
    if (transferred > 0) sent += static_cast<size_t>(transferred);
    if (result == LIBUSB_SUCCESS) continue;
    ++failures;
    if (result == LIBUSB_ERROR_PIPE &&
        libusb_clear_halt(device->handle, device->outEndpoint) != LIBUSB_SUCCESS)
      err = aErrIO;
  }
  if (sent < length) err = aErrWrite;
  return sTolerate(device, err);
}

aErr cvusb_get_from_USBlib_device(cvusb_device* device, uint8_t* byte) {
  if (!device || !byte) return aErrParam;
  if (!device->useLibusb) return aErrMode;
  aErr err = aErrNone;
  if (device->readAvailable == 0) {
    err = sUsableState(device);
    if (err == aErrNone) {
      int transferred = 0;
      const int result = libusb_bulk_transfer(device->handle, device->inEndpoint, device->readBuffer,
                                              static_cast<int>(sizeof device->readBuffer), &transferred,
                                              cvusbREAD_TIMEOUT_MS);
      if (transferred < 0 || transferred > static_cast<int>(sizeof device->readBuffer)) transferred = 0;
      if (result == LIBUSB_SUCCESS) {
        err = aErrNone;
      } else if (result == LIBUSB_ERROR_PIPE) {
        libusb_clear_halt(device->handle, device->inEndpoint);
        transferred = 0;
        err = aErrNotReady;
      } else if (result == LIBUSB_ERROR_TIMEOUT) {
        err = transferred > 0 ? aErrNone : aErrNotReady;
      } else {
        transferred = 0;
        err = aErrIO;
      }
      device->readNext = device->readBuffer;
      device->readAvailable = transferred;
    }
  }
  if (err == aErrNone && device->readAvailable > 0) {
    *byte = *device->readNext++;
    --device->readAvailable;
    return sTolerate(device, aErrNone);
  }
  err = sTolerate(device, err);
  // No byte came (an absorbed error or an empty transfer): the caller must
  // not take *byte as one.
  return err == aErrNone ? aErrNotReady : err;
}

aErr cvusb_close_corvantis_USBlib_device(cvusb_device* device) {
  if (!device) return aErrParam;
  if (!device->useLibusb || !device->handle) return aErrMode;
  libusb_release_interface(device->handle, device->interfaceNumber);
  libusb_close(device->handle);
  device->handle = nullptr;
  device->state = cvusbStateClosed;
  device->interfaceNumber = 0;
  device->inEndpoint = 0;
  device->outEndpoint = 0;
  return aErrNone;
}

aErr cvusb_open_corvantis_kernel_device(cvusb_device* device, const char* serialText) {
  if (!device || !serialText) return aErrParam;
  if (device->useLibusb) return aErrMode;
  std::snprintf(device->serialText, sizeof device->serialText, "%s", serialText);
  char path[cvusbSERIAL_TEXT_SIZE + 32];
  std::snprintf(path, sizeof path, "/dev/corvantis.%s", device->serialText);
  const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY ? aErrBusy : aErrIO;
  device->fd = fd;
  return aErrNone;
}

aErr cvusb_write_to_kernel_device(cvusb_device* device, const uint8_t* bytes, size_t length) {
  if (!device || (!bytes && length)) return aErrParam;
  if (device->useLibusb || device->fd <= 0) return aErrMode;
  size_t written = 0;
  for (int call = 0; call < cvusbKERNEL_WRITE_CALLS && written < length; ++call) {
    const ssize_t result = write(device->fd, bytes + written, length - written);
    if (result < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return aErrIO;
    }
    written += static_cast<size_t>(result);
  }
  return written < length ? aErrIO : aErrNone;
}

aErr cvusb_get_from_kernel_device(cvusb_device* device, uint8_t* byte) {
  if (!device || !byte) return aErrParam;
  if (device->useLibusb || device->fd <= 0) return aErrMode;
  const ssize_t result = read(device->fd, byte, 1);
  if (result == 1) return aErrNone;
  if (result == 0) return aErrNotReady;
  // The driver reports "no data yet" as a bad address.
  if (errno == EFAULT || errno == EAGAIN || errno == EINTR) return aErrNotReady;
  return aErrIO;
}

aErr cvusb_close_corvantis_kernel_device(cvusb_device* device) {
  if (!device) return aErrParam;
  if (device->useLibusb) return aErrMode;
  if (device->fd <= 0) return aErrNone;
  const int fd = device->fd;
  device->fd = 0;
  if (close(fd) != 0) return aErrCancel;
  device->state = cvusbStateClosed;
  return aErrNone;
}
