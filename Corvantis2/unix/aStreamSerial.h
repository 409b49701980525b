// Streams over serial ports: raw (boot-loader clients) and COBS-framed
// (serial links). The port's settings are saved when it is opened and put
// back when the stream is destroyed.
#pragma once

#include <cstdint>

#include "Corvantis2/common/aStream.h"

inline constexpr uint16_t aSERIAL_CHECK = 0xBEEF;

// Speed codes 0-7: 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400
// baud; any other code hangs the line up (B0).
// parity: 0 none, else even. dataBits: 0 eight, 1 seven. stopBits: 0 one,
// 1 two. Opening errors: aErrNotFound, aErrPermission, aErrIO; bad
// arguments aErrResource.
aErr aStream_CreateSerial(const char* portPath, int32_t speedCode, int parity, int dataBits, int stopBits,
                          aStream** stream);
aErr aStream_CreateSerial_Packetized(const char* portPath, int32_t speedCode, int parity, int dataBits,
                                     int stopBits, aStream** stream);

// The speed code of a baud rate, or -1 when it has none.
int32_t aSerial_SpeedCodeForBaud(uint32_t baudRate);
