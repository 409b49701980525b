// The virtual module's firmware loader and flash: the device side of the
// loader protocol (command 95), with no transport of its own.
//
// Requests (data bytes) and what the loader answers:
//
//   5F 00                     INIT     -> 5F 00 base(4)
//   5F 01 bytes(1-26)         DATA     -> 5F 01 accepted
//   5F 02                     LOAD     -> restart into the loader; 5F 02 on the new link
//   5F 03 flags address(4)    PREPARE  -> 5F 07 status blockSize(2)
//   5F 04                     SUM      -> 5F 07 status sum(4)
//   5F 05 count(2)            WRITE    -> 5F 07 status
//   5F 06                     REBOOT   -> nothing; the link drops, the new firmware runs
//   5F 8A 2i bytes(<=24) seq  DATA as a byte sequence (UEI set of option 10)
//                                      -> 5F CA i once the last packet arrived,
//                                         5F CA 8i code on an error
//
// Multi-byte values are big-endian. The sum is the 32-bit wrapping sum of
// the bytes accepted since the last PREPARE or SUM.
//
// Two stages. Running firmware: the blocks of DATA land in RAM at the
// prepared address as they arrive (loader blocks get no WRITE). After LOAD
// the loader runs: DATA fills a chunk buffer of at most the block size,
// WRITE commits it to flash at the prepared address plus what was written
// since PREPARE. REBOOT leaves the loader; the module then reports the
// identity of the virtual firmware image in flash (sim/birdwriter/VirtualImage.h).
//
// The model is fed one request at a time and returns the replies plus what
// the transport must do with the link. Thread safety: every member may be
// called from any thread; knobs and counters are atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vmodule {

using LoaderBytes = std::vector<uint8_t>;

// Flash or RAM contents: start address -> bytes. Records never overlap or
// touch: adjacent writes are merged into one record.
using MemoryMap = std::map<uint32_t, LoaderBytes>;

struct LoaderSettings {
  uint32_t loadBase = 0x20000000;        // INIT's answer
  uint16_t blockSize = 512;              // PREPARE's answer; 0 is announced as is
  bool ueiData = true;                   // option 10 can be set
  bool pooledPackets = true;             // protocol features bit 31
  bool restartOnLoad = true;             // LOAD restarts the device
  bool answerLoadBeforeRestart = false;  // also answer LOAD on the old link
  std::string flashOut;                  // non-empty: written on every REBOOT (SaveFlash)
  size_t memoryLimit = 64u << 20;        // bytes of RAM plus flash the model will hold
};

// Misbehaviour, changeable while running. Counts start at 1 and run over the
// model's whole life (see LoaderCounters); 0 switches a knob off.
struct LoaderKnobs {
  std::atomic<uint32_t> dropNthDataAck{0};    // this DATA acknowledgement (plain or option 10) is lost
  std::atomic<uint32_t> wrongCountNth{0};     // this DATA packet is answered one byte short and dropped,
  std::atomic<uint32_t> wrongCountRepeat{1};  // and so are the packets after it, this many in all
  std::atomic<uint32_t> wrongSums{0};         // the next N SUM replies report the sum plus one
  std::atomic<uint32_t> refusePrepares{0};    // the next N PREPAREs are answered with refuseStatus
  std::atomic<uint8_t> refuseStatus{3};
  std::atomic<uint32_t> closeAtDataPacket{0};  // this data packet is dropped and the link closed
  std::atomic<bool> neverBackAfterLoad{false};
  std::atomic<bool> neverBackAfterReboot{false};
  std::atomic<uint32_t> replyDelayMs{0};  // every reply waits this long
};

struct LoaderCounters {
  std::atomic<uint32_t> dataPackets{0};  // plain DATA and option-10 packets
  std::atomic<uint32_t> dataAcks{0};     // acknowledgements due, dropped ones included
  std::atomic<uint32_t> prepares{0};
  std::atomic<uint32_t> sums{0};
  std::atomic<uint32_t> writes{0};
  std::atomic<uint32_t> loads{0};
  std::atomic<uint32_t> reboots{0};
  std::atomic<uint32_t> sequenceErrors{0};  // option-10 gaps and malformed sequences
  std::atomic<uint32_t> malformed{0};       // requests of a wrong length or unknown option
};

// What the module runs after a REBOOT into a virtual firmware image.
struct FirmwareIdentity {
  uint32_t build = 0;
  std::string version;                                           // the descriptor's text
  uint8_t versionMajor = 0, versionMinor = 0, versionPatch = 0;  // 0.0.0 unless A.B.C
  std::string modelName;
  uint8_t model = 0;
};

enum class LinkEvent {
  kNone,
  kRestart,  // after the replies: reset the link, re-enumerate, then call OnLinkUp
  kReboot,   // drop the link; come back running `identity`
  kClose,    // close the link now
};

struct LoaderOutcome {
  std::vector<LoaderBytes> replies;  // data bytes, each sent from the module's address
  uint32_t delayMs = 0;              // wait this long before sending them
  LinkEvent event = LinkEvent::kNone;
  bool comesBack = true;                     // kRestart, kReboot: false means never
  std::optional<FirmwareIdentity> identity;  // kReboot: nullopt when flash holds no virtual image
};

class LoaderModel {
 public:
  static constexpr uint8_t kCommand = 0x5F;
  static constexpr uint32_t kPooledPacketsFeature = 0x80000000u;

  explicit LoaderModel(LoaderSettings settings = {});

  // One request's data bytes (data[0] must be 0x5F; others are ignored).
  LoaderOutcome Handle(const LoaderBytes& data);

  // After a kRestart, the first link the host makes gets the LOAD answer
  // once; call this when that link is synchronised. Empty otherwise.
  std::vector<LoaderBytes> OnLinkUp();

  // For the system entity: the protocol-features word, and the answer to the
  // capability query of (command, option, index, flags): 0 when implemented.
  uint32_t ProtocolFeatures() const;
  uint8_t CapabilityAnswer(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const;

  bool InLoader() const;
  MemoryMap Flash() const;
  MemoryMap Ram() const;
  // What flash holds now as a virtual firmware image, if anything.
  std::optional<FirmwareIdentity> FlashIdentity() const;
  // Writes the flash to settings.flashOut (if set); false with a message on failure.
  bool SaveFlash(std::string* error = nullptr) const;

  LoaderKnobs& knobs() { return knobs_; }
  const LoaderCounters& counters() const { return counters_; }
  const LoaderSettings& settings() const { return settings_; }

 private:
  LoaderOutcome HandleLocked(const LoaderBytes& data);
  void Data(const LoaderBytes& data, LoaderOutcome& out);
  void SequencePacket(const LoaderBytes& data, LoaderOutcome& out);
  // Takes bytes into RAM or the chunk buffer; returns how many fit.
  size_t Accept(const uint8_t* bytes, size_t length);
  bool StoreInMemory(MemoryMap& map, uint32_t address, const uint8_t* bytes, size_t length);
  std::optional<FirmwareIdentity> FlashIdentityLocked() const;
  bool DataAckDropped();

  const LoaderSettings settings_;
  LoaderKnobs knobs_;
  LoaderCounters counters_;

  mutable std::mutex mutex_;
  // Guarded by mutex_:
  bool inLoader_ = false;
  bool prepared_ = false;
  uint8_t flags_ = 0;
  uint32_t address_ = 0;      // the prepared block's address
  uint64_t blockOffset_ = 0;  // bytes taken since PREPARE (RAM) or written since PREPARE (flash)
  uint32_t sum_ = 0;
  LoaderBytes chunk_;  // loader stage: accepted, not yet written
  bool loadAnswerPending_ = false;
  // Option-10 sequence being received.
  bool sequenceOpen_ = false;
  bool sequenceBroken_ = false;
  uint8_t expectedSequence_ = 0;
  LoaderBytes sequence_;
  size_t memoryUsed_ = 0;
  MemoryMap ram_;
  MemoryMap flash_;
};

// Flash file written by --flash-out (documented in sim/README.md):
//   "vmflash1" | record count (u32) | records: address (u32) | length (u32) | bytes
// big-endian, records in ascending address order.
LoaderBytes EncodeFlash(const MemoryMap& flash);
// nullopt with a message when the bytes are not such a file; every length is checked.
std::optional<MemoryMap> DecodeFlash(const LoaderBytes& bytes, std::string* error);
// Written to a temporary file next to `path`, then renamed over it.
bool WriteFlashFile(const std::string& path, const MemoryMap& flash, std::string* error);
std::optional<MemoryMap> ReadFlashFile(const std::string& path, std::string* error);

}  // namespace vmodule
