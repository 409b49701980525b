// The cvusb device layer: one family device on USB, reached either through
// the family's kernel driver ("/dev/corvantis.%08X", when its node exists)
// or through libusb bulk transfers on the vendor interface
// (class 0xFF, subclass 0x88, protocol 0x10).
//
// A record is made by cvusb_create_usb and released by cvusb_destroy, which
// also closes a libusb handle still open. One thread may read (get) while
// another writes; the read path owns readBuffer/readAvailable/readNext, the
// write path only its locals; state and errorCount are shared (atomics).
//
// The process-wide libusb context is shared with USB enumeration. It is
// made on first use and released only by Corvantis_libusb_exit; the next use
// makes a fresh one (and so enumerates afresh).
#pragma once

#include <libusb.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "Corvantis2/common/aError.h"

inline constexpr uint16_t CORVANTIS_VENDOR_ID = 0x1209;
inline constexpr uint8_t cvusbINTERFACE_CLASS = 0xFF;
inline constexpr uint8_t cvusbINTERFACE_SUBCLASS = 0x88;
inline constexpr uint8_t cvusbINTERFACE_PROTOCOL = 0x10;
inline constexpr const char* cvusbKERNEL_NODE_FORMAT = "/dev/corvantis.%08X";

inline constexpr size_t cvusbREAD_BUFFER_SIZE = 1024;
inline constexpr size_t cvusbSERIAL_TEXT_SIZE = 256;
inline constexpr unsigned cvusbWRITE_TIMEOUT_MS = 50;
inline constexpr unsigned cvusbREAD_TIMEOUT_MS = 1000;
inline constexpr int cvusbMAX_WRITE_FAILURES = 10;
inline constexpr int cvusbKERNEL_WRITE_CALLS = 1000;
// aErrIO results absorbed before the device is given up.
inline constexpr uint8_t cvusbERROR_TOLERANCE = 4;

enum cvusbState : int32_t {
  cvusbStateNone = 0,
  cvusbStateCreated = 1,
  cvusbStateClosed = 2,
  cvusbStateOpening = 3,
  cvusbStateReady = 4,
  cvusbStateFailed = 5,  // final: five consecutive I/O errors
};

struct cvusb_device {
  int32_t useLibusb;  // 1: libusb path; 0: kernel driver path
  char serialText[cvusbSERIAL_TEXT_SIZE];
  int32_t fd;  // kernel node descriptor; 0 when none
  libusb_device_handle* handle;
  std::atomic<int32_t> state;
  uint8_t interfaceNumber;
  uint8_t outEndpoint;
  uint8_t inEndpoint;
  uint8_t readBuffer[cvusbREAD_BUFFER_SIZE];
  int32_t readAvailable;
  uint8_t* readNext;
  std::atomic<uint8_t> errorCount;
  uint16_t inMaxPacket;
  uint16_t outMaxPacket;
};

// The shared context, made (libusb_init) when there is none; null when
// libusb cannot be initialised here (no USB on this machine).
libusb_context* Corvantis_libusb_context();
aErr Corvantis_libusb_init();
// Releases the shared context; the next use makes a new one.
void Corvantis_libusb_exit();
// True while a shared context exists (it is never made as a side effect).
bool Corvantis_libusb_context_exists();

// Vendor is CORVANTIS_VENDOR_ID and bit 15 of the product is clear.
bool is_corvantis_device(libusb_device* device);

// A new record in state 1, or null when memory is exhausted.
cvusb_device* cvusb_create_usb(bool useLibusb);
aErr cvusb_destroy(cvusb_device** device);
bool cvusb_is_kernel_driver_installed(uint32_t serialNumber);

aErr cvusb_open_corvantis_device(cvusb_device* device, const char* serialText);
aErr cvusb_write_to_device(cvusb_device* device, const uint8_t* bytes, size_t length);
// One byte, or aErrNotReady when none is there now.
aErr cvusb_get_from_device(cvusb_device* device, uint8_t* byte);
aErr cvusb_close_corvantis_device(cvusb_device* device);

aErr cvusb_open_corvantis_USBlib_device(cvusb_device* device, const char* serialText);
aErr cvusb_write_to_USBlib_device(cvusb_device* device, const uint8_t* bytes, size_t length);
aErr cvusb_get_from_USBlib_device(cvusb_device* device, uint8_t* byte);
aErr cvusb_close_corvantis_USBlib_device(cvusb_device* device);

aErr cvusb_open_corvantis_kernel_device(cvusb_device* device, const char* serialText);
aErr cvusb_write_to_kernel_device(cvusb_device* device, const uint8_t* bytes, size_t length);
aErr cvusb_get_from_kernel_device(cvusb_device* device, uint8_t* byte);
aErr cvusb_close_corvantis_kernel_device(cvusb_device* device);
