// The debug log: diagnostics tagged with a package bit, written only when the
// package is switched on (-X) or the line carries no package. Process-wide
// state, no locks: each call formats into its own buffer and writes once.
#pragma once

#include <cstdint>
#include <cstdio>

enum LogPackage : uint32_t {
  DEBUG_Updater = 0x00000001,
  DEBUG_History = 0x00000002,
  DEBUG_Attributes = 0x00000004,
  DEBUG_BirdFile = 0x00000008,
  DEBUG_Network_Legacy = 0x00000010,  // listed as DEBUG_Network in the -X help; unused
  DEBUG_ServerComm = 0x00000020,
  DEBUG_Network = 0x00000100,
  DEBUG_Network_SR = 0x00000200,
  DEBUG_Network_FIRM = 0x00000400,
  DEBUG_NXPSerial = 0x00001000,
  DEBUG_NXPSerial_E = 0x00002000,
  DEBUG_NXPSerial_SR = 0x00004000,
  DEBUG_APP = 0x00010000,
  DEBUG_iMXSerial = 0x10000000,
};

class Log {
 public:
  static void log(unsigned package, const char* format, ...) __attribute__((format(printf, 2, 3)));
  static void SetOutput(FILE* fh);
  static void ActivatePackage(unsigned bits);
  static void DeactivatePackage(unsigned bits);

  static FILE* fh;
  static uint32_t package_bitmask;
  static bool timestamped;
  static const char* const TIMESTAMP_FORMAT;
  static const char* const SEPARATOR;
};
