// Serial port streams over termios. Reads never block (VMIN 0, VTIME 0):
// a port with nothing to deliver answers "not ready" at once. Writes wait
// until the bytes are on the wire (tcdrain).
#include "Corvantis2/unix/aStreamSerial.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "Corvantis2/common/aCOBS.h"

namespace {

constexpr size_t kPathCapacity = 4096;

struct SpeedRow {
  uint32_t baud;
  speed_t speed;
};
constexpr SpeedRow kSpeeds[] = {
    {2400, B2400},   {4800, B4800},   {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};

struct SerialState {
  int32_t speedCode = 0;
  char portPath[kPathCapacity + 1] = {};
  int32_t fd = 0;
  termios savedTermios{};
  termios settings{};
  std::atomic<uint16_t> check{0};
};

SerialState* sValid(void* ref) {
  auto* state = static_cast<SerialState*>(ref);
  return state && state->check == aSERIAL_CHECK ? state : nullptr;
}

speed_t sSpeed(int32_t code) {
  if (code < 0 || code >= static_cast<int32_t>(std::size(kSpeeds))) return B0;
  return kSpeeds[code].speed;
}

aErr sSerialGet(uint8_t* byte, void* ref) {
  SerialState* state = sValid(ref);
  if (!state || !byte) return aErrParam;
  const ssize_t got = read(state->fd, byte, 1);
  if (got == 1) return aErrNone;
  if (got == 0 || errno == EAGAIN || errno == EINTR) return aErrNotReady;
  return aErrIO;
}

aErr sSerialWrite(const uint8_t* bytes, size_t length, void* ref) {
  SerialState* state = sValid(ref);
  if (!state || (!bytes && length)) return aErrParam;
  const ssize_t sent = write(state->fd, bytes, length);
  if (sent < 0 || static_cast<size_t>(sent) != length) return aErrIO;
  tcdrain(state->fd);
  return aErrNone;
}

aErr sSerialPut(uint8_t byte, void* ref) { return sSerialWrite(&byte, 1, ref); }

aErr sSerialDelete(void* ref) {
  SerialState* state = sValid(ref);
  if (!state) return aErrParam;
  if (state->fd > 0) {
    tcsetattr(state->fd, TCSANOW, &state->savedTermios);
    close(state->fd);
  }
  state->fd = 0;
  std::memset(&state->savedTermios, 0, sizeof state->savedTermios);
  state->check = 0;
  delete state;
  return aErrNone;
}

aErr sOpenError(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV: return aErrNotFound;
    case EACCES:
    case EPERM: return aErrPermission;
    default: return aErrIO;
  }
}

// Opens and configures the port; on failure the state is freed.
aErr sOpen(SerialState* state, int parity, int dataBits, int stopBits) {
  const int fd = open(state->portPath, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const aErr err = sOpenError(errno);
    delete state;
    return err;
  }
  state->fd = fd;
  if (fcntl(fd, F_SETFL, 0) != 0 || tcgetattr(fd, &state->savedTermios) != 0) {
    close(fd);
    delete state;
    return aErrIO;
  }
  state->check = aSERIAL_CHECK;
  termios& t = state->settings;
  t = state->savedTermios;
  t.c_cflag = CLOCAL | CREAD | (dataBits ? CS7 : CS8);
  if (parity) t.c_cflag |= PARENB;
  if (stopBits) t.c_cflag |= CSTOPB;
  t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, sSpeed(state->speedCode));
  cfsetospeed(&t, sSpeed(state->speedCode));
  if (tcsetattr(fd, TCSANOW, &t) != 0 || tcflush(fd, TCIOFLUSH) != 0) {
    sSerialDelete(state);
    return aErrIO;
  }
  return aErrNone;
}

// Validates the arguments and makes an unopened state.
aErr sPrepare(const char* portPath, int32_t speedCode, int dataBits, int stopBits, aStream** stream,
              SerialState** made) {
  if (!portPath || !stream) return aErrResource;
  if (dataBits < 0 || dataBits > 1 || stopBits < 0 || stopBits > 1) return aErrResource;
  *stream = nullptr;
  auto* state = new (std::nothrow) SerialState;
  if (!state) return aErrResource;
  state->speedCode = speedCode;
  std::strncpy(state->portPath, portPath, kPathCapacity);
  *made = state;
  return aErrNone;
}

}  // namespace

int32_t aSerial_SpeedCodeForBaud(uint32_t baudRate) {
  for (size_t i = 0; i < std::size(kSpeeds); ++i)
    if (kSpeeds[i].baud == baudRate) return static_cast<int32_t>(i);
  return -1;
}

aErr aStream_CreateSerial(const char* portPath, int32_t speedCode, int parity, int dataBits, int stopBits,
                          aStream** stream) {
  SerialState* state = nullptr;
  if (aErr err = sPrepare(portPath, speedCode, dataBits, stopBits, stream, &state); err != aErrNone)
    return err;
  if (aErr err = sOpen(state, parity, dataBits, stopBits); err != aErrNone) return err;
  aStream* created = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, state);
  if (!created) {
    sSerialDelete(state);
    return aErrResource;
  }
  *stream = created;
  return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* portPath, int32_t speedCode, int parity, int dataBits,
                                     int stopBits, aStream** stream) {
  SerialState* state = nullptr;
  if (aErr err = sPrepare(portPath, speedCode, dataBits, stopBits, stream, &state); err != aErrNone)
    return err;
  if (aErr err = sOpen(state, parity, dataBits, stopBits); err != aErrNone) return err;
  aStream* created = nullptr;
  const aErr err =
      aStream_CreateCobsEncoding(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, state, &created);
  if (err != aErrNone) {
    sSerialDelete(state);
    return err;
  }
  *stream = created;
  return aErrNone;
}
