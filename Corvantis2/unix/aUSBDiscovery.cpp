#include "Corvantis2/unix/aUSBDiscovery.h"

#include <cctype>
#include <cstring>

#include "Corvantis2/unix/cvusb.h"

namespace {

constexpr int kSerialBufferSize = 32;
constexpr size_t kSerialDigits = 8;

// Exactly eight hexadecimal digits, either case.
bool sParseSerial(const unsigned char* text, int length, uint32_t* serial) {
  if (length != static_cast<int>(kSerialDigits)) return false;
  uint32_t value = 0;
  for (size_t i = 0; i < kSerialDigits; ++i) {
    const int c = text[i];
    if (!std::isxdigit(c)) return false;
    const int digit = std::isdigit(c) ? c - '0' : std::toupper(c) - 'A' + 10;
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  *serial = value;
  return true;
}

}  // namespace

uint32_t aDiscovery_EnumerateUSB(aDiscoveryCallback callback, void* ref) {
  libusb_context* context = Corvantis_libusb_context();
  if (!context) return 0;
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context, &list);
  uint32_t found = 0;
  bool goOn = true;
  for (ssize_t i = 0; i < count && goOn; ++i) {
    libusb_device* device = list[i];
    if (!is_corvantis_device(device)) continue;
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != LIBUSB_SUCCESS) continue;
    libusb_device_descriptor descriptor{};
    unsigned char text[kSerialBufferSize] = {};
    uint32_t serial = 0;
    const bool named =
        libusb_get_device_descriptor(device, &descriptor) == LIBUSB_SUCCESS && descriptor.iSerialNumber &&
        sParseSerial(
            text,
            libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, kSerialBufferSize - 1),
            &serial);
    if (named) {
      linkSpec spec;
      std::memset(&spec, 0, sizeof spec);
      spec.type = USB;
      spec.serialNumber = serial;
      spec.usbSerial = serial;
      spec.model = descriptor.idProduct & 0xFF;
      bool success = false;
      goOn = callback ? callback(&spec, &success, ref) : true;
      if (success) ++found;
    }
    libusb_close(handle);
  }
  if (list) libusb_free_device_list(list, 1);
  return found;
}
