// A stand-in for one device of the family (a router module and the modules
// on its bus), playing the device side of the packet protocol over TCP
// (with the UDP discovery responder) or a pseudo-terminal (COBS frames).
//
// Usable in-process by tests and benchmarks, and as the `vmodule` program.
//
// Threads: one accepts TCP connections, one per connection (or the pty)
// reads, answers and sends heartbeats, one answers discovery requests.
// Each is named, owned by the VirtualModule and joined by Stop().
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/vmodule/WireCodec.h"

namespace vmodule {

struct ModuleIdentity {
  uint32_t serial = 0x0000002A;
  uint8_t model = 5;
  uint8_t address = 6;  // even, non-zero
  uint8_t versionMajor = 2;
  uint8_t versionMinor = 15;
  uint8_t versionPatch = 0;
  uint32_t build = 1;
  std::string name = "vmodule";
  uint8_t routerAddress = 0;                // 0: the router's address
  uint32_t protocolFeatures = 0x80000000u;  // bit 31: accepts pooled packets
  struct SlotSpec {
    uint8_t store;
    uint8_t slot;
    uint16_t capacity;
  };
  std::vector<SlotSpec> slots{{0, 0, 1024}, {0, 1, 1024}, {0, 2, 256}, {0, 3, 256}};
  std::map<uint8_t, Bytes> factory;  // factory data areas (0-15)
};
using SlotSpec = ModuleIdentity::SlotSpec;

// Misbehaviour, changeable while the module runs. Packet counts start at 1
// and run over the module's whole life; 0 switches a knob off.
struct Knobs {
  std::atomic<uint32_t> dropNthReply{0};       // this outgoing packet is never sent
  std::atomic<uint32_t> corruptNthReply{0};    // one byte of it is inverted on the wire
  std::atomic<uint32_t> replyDelayMs{0};       // every reply waits this long
  std::atomic<uint32_t> closeAfterPackets{0};  // reset the connection after this many received
  std::atomic<bool> heartbeatsOff{false};      // neither send heartbeats nor look at answers
  std::atomic<bool> silent{false};             // read everything, answer nothing
  // An emulated slow link: the host's bytes are taken at most this fast
  // (0: as they come), and replies wait for the next frame of this many
  // microseconds (0: at once). Full-speed USB: 1216000 and 1000.
  std::atomic<uint32_t> inBytesPerSecond{0};
  std::atomic<uint32_t> replyFrameUs{0};
};

struct Counters {
  std::atomic<uint32_t> packetsIn{0};
  std::atomic<uint32_t> packetsOut{0};
  std::atomic<uint32_t> badFrames{0};
  std::atomic<uint32_t> heartbeatsSent{0};
  std::atomic<uint32_t> heartbeatAnswers{0};
  std::atomic<uint32_t> connections{0};
  std::atomic<int> forceRoute{-1};  // last cmdFORCEROUTE value, -1 before any
};

struct Options {
  // modules[0] is the router, the module the link talks to directly; the
  // others sit on its bus and answer packets sent to their addresses.
  std::vector<ModuleIdentity> modules{ModuleIdentity{}};
  uint32_t heartbeatMs = 1000;     // 0: no heartbeats
  uint32_t streamIntervalMs = 10;  // between samples of a streaming module
  int tcpPort = -1;                // -1: no TCP; 0: any free port
  bool discovery = true;           // with TCP: answer UDP discovery
  // Interfaces (IPv4, dotted) that join the discovery group; empty: every
  // non-loopback interface.
  std::vector<std::string> discoveryInterfaces;
  std::string ptyLink;             // non-empty: serve a pseudo-terminal, linked here
  uint16_t loaderBlockSize = 512;  // the block size the loader announces
  // Non-empty: the router's flash is written here on every REBOOT and at
  // exit; a bus module's to this path plus "." and its address.
  std::string flashOut;
  uint32_t loaderRestartMs = 300;  // a LOAD keeps the device away this long
  uint32_t loaderRebootMs = 300;   // and so does a REBOOT
  // Loader misbehaviour and settings by name (ApplyLoaderKnob), for every module.
  std::vector<std::pair<std::string, uint32_t>> loaderKnobs;
};

class LoaderModel;
struct LoaderSettings;
struct LoaderKnobs;

class VirtualModule {
 public:
  explicit VirtualModule(Options options);
  ~VirtualModule();
  VirtualModule(const VirtualModule&) = delete;
  VirtualModule& operator=(const VirtualModule&) = delete;

  // Opens the transports and starts serving; false (with a message on
  // stderr) when a transport cannot be opened.
  bool Start();
  // Resets every connection, closes the transports and joins the threads.
  void Stop();

  // The TCP port being served (after Start), or 0.
  uint16_t TcpPort() const;
  // The pseudo-terminal's own path (the link's target), or "".
  std::string PtyPath() const;
  // Resets every open TCP connection now (as a device that reboots).
  void ResetConnections();

  // Serves the device side on a new in-process byte channel (one end of a
  // socket pair, the unframed wire format as over TCP) for transports that
  // are neither a socket nor a pty, such as the USB test double. Returns the
  // host's end, which the caller owns: closing it ends the session. -1 when
  // no channel can be made. Works with or without Start().
  int OpenChannel();

  // A restart (as after a firmware load) is carried out by the transport:
  // the USB double unplugs the device and plugs it in again after downMs.
  // The listener is called on the thread that asks for the restart (a
  // session thread when a request handler does) and must not block.
  using RestartListener = std::function<void(uint32_t downMs)>;
  void SetRestartListener(RestartListener listener);
  // Asks the transport to restart the device; false when none listens.
  bool Restart(uint32_t downMs);

  Knobs& knobs();
  const Counters& counters() const;
  // The loader and flash of the module at this position of Options::modules.
  LoaderModel& loader(size_t module = 0);

  // Tests: sees every request to a module before the handlers do; returning
  // true means it answered (with the replies it appended, possibly none).
  // Runs on the session thread. An empty function removes it.
  using Interceptor = std::function<bool(const Packet& request, std::vector<Packet>& replies)>;
  void SetInterceptor(Interceptor interceptor);
  // Tests: the last 1024 packets received (link commands included, heartbeat
  // answers left out), oldest first; and forgetting them.
  std::vector<Packet> Requests() const;
  void ClearRequests();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Sets a loader knob or setting by its command-line name (sim/README.md);
// false for an unknown name. Settings apply when either pointer is given.
bool ApplyLoaderKnob(const std::string& name, uint32_t value, LoaderSettings* settings, LoaderKnobs* knobs);
bool IsLoaderKnob(const std::string& name);

// "A.B.C" into the identity's version; false when malformed.
bool ParseVersion(const std::string& text, ModuleIdentity* identity);

}  // namespace vmodule
