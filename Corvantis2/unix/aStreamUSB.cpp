// USB stream: get hands out one byte of the last IN transfer (aErrNotReady
// when there is none), write goes through the chunked bulk writer.
#include "Corvantis2/unix/aStreamUSB.h"

#include <cstdio>
#include <new>

#include "Corvantis2/unix/cvusb.h"

namespace {

struct USBStreamState {
  uint32_t serialNumber = 0;
  cvusb_device* device = nullptr;
  uint16_t check = 0;
};

USBStreamState* sValid(void* ref) {
  auto* state = static_cast<USBStreamState*>(ref);
  return state && state->check == aUSB_STREAM_CHECK && state->device ? state : nullptr;
}

aErr sUSBGet(uint8_t* byte, void* ref) {
  USBStreamState* state = sValid(ref);
  if (!state || !byte) return aErrParam;
  return cvusb_get_from_device(state->device, byte);
}

aErr sUSBWrite(const uint8_t* bytes, size_t length, void* ref) {
  USBStreamState* state = sValid(ref);
  if (!state) return aErrParam;
  return cvusb_write_to_device(state->device, bytes, length);
}

aErr sUSBPut(uint8_t byte, void* ref) { return sUSBWrite(&byte, 1, ref); }

// The stream record is freed whatever this returns, so the device is too:
// a close error is reported, never a reason to keep (and leak) the record.
aErr sUSBDelete(void* ref) {
  USBStreamState* state = sValid(ref);
  if (!state) return aErrParam;
  const aErr err = cvusb_close_corvantis_device(state->device);
  cvusb_destroy(&state->device);
  state->check = 0;
  delete state;
  return err;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream) {
  if (!stream) return aErrParam;
  *stream = nullptr;
  if (serialNumber == 0) return aErrParam;
  const bool kernel = cvusb_is_kernel_driver_installed(serialNumber);
  auto* state = new (std::nothrow) USBStreamState;
  if (!state) return aErrMemory;
  state->serialNumber = serialNumber;
  state->device = cvusb_create_usb(!kernel);
  if (!state->device) {
    delete state;
    return aErrResource;
  }
  char serialText[16];
  std::snprintf(serialText, sizeof serialText, "%08X", serialNumber);
  if (aErr err = cvusb_open_corvantis_device(state->device, serialText); err != aErrNone) {
    cvusb_destroy(&state->device);
    delete state;
    return err;
  }
  state->check = aUSB_STREAM_CHECK;
  aStream* created = aStream_Create(sUSBGet, sUSBPut, sUSBWrite, sUSBDelete, state);
  if (!created) {
    sUSBDelete(state);
    return aErrMemory;
  }
  *stream = created;
  return aErrNone;
}
