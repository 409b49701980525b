#include "sim/vmodule/Loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "sim/birdwriter/VirtualImage.h"

namespace vmodule {

namespace {

enum Option : uint8_t {
  kInit = 0,
  kData = 1,
  kLoad = 2,
  kPrepare = 3,
  kSum = 4,
  kWrite = 5,
  kReboot = 6,
  kStatus = 7,
  kDataUei = 10,
};

constexpr uint8_t kGetBit = 0x40;
constexpr uint8_t kSetBit = 0x80;
constexpr uint8_t kErrorBit = 0x80;
constexpr uint8_t kMoreBit = 0x80;
constexpr size_t kMaxPlainData = 26;
constexpr size_t kSequenceChunk = 24;
// A byte sequence before LOAD goes to RAM without a block size to bound it.
constexpr size_t kRamSequenceLimit = 64 * 1024;

// Status bytes of the 5F 07 reply.
constexpr uint8_t kStatusOk = 0;
constexpr uint8_t kStatusCountMismatch = 2;
constexpr uint8_t kStatusNotInLoader = 4;
constexpr uint8_t kStatusNotPrepared = 5;
constexpr uint8_t kStatusNoRoom = 6;

// Device error codes of option-10 error replies.
constexpr uint8_t kErrMode = 7;
constexpr uint8_t kErrOverrun = 15;
constexpr uint8_t kErrUnimplemented = 21;
constexpr uint8_t kErrPacket = 24;
constexpr uint8_t kErrIndexRange = 26;
constexpr uint8_t kErrInvalidOption = 29;

constexpr uint64_t kAddressSpace = uint64_t{1} << 32;

void PutBig16(LoaderBytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void PutBig32(LoaderBytes& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t GetBig32(const uint8_t* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
}

LoaderBytes StatusReply(uint8_t status) { return {LoaderModel::kCommand, kStatus, status}; }

LoaderBytes UeiError(uint8_t option, uint8_t index, uint8_t code) {
  return {LoaderModel::kCommand, option, static_cast<uint8_t>(index | kErrorBit), code};
}

// Takes one from a countdown knob; false when it is already 0.
bool TakeOne(std::atomic<uint32_t>& countdown) {
  uint32_t left = countdown.load();
  while (left > 0 && !countdown.compare_exchange_weak(left, left - 1)) {
  }
  return left > 0;
}

// "A.B.C" with each part 0-255.
bool ParseTriple(const std::string& text, uint8_t* a, uint8_t* b, uint8_t* c) {
  unsigned x = 0, y = 0, z = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%3u.%3u.%3u%c", &x, &y, &z, &tail) != 3 || x > 255 || y > 255 || z > 255) {
    return false;
  }
  *a = static_cast<uint8_t>(x);
  *b = static_cast<uint8_t>(y);
  *c = static_cast<uint8_t>(z);
  return true;
}

}  // namespace

LoaderModel::LoaderModel(LoaderSettings settings) : settings_(std::move(settings)) {}

LoaderOutcome LoaderModel::Handle(const LoaderBytes& data) {
  if (data.size() < 2 || data[0] != kCommand) {
    ++counters_.malformed;
    return {};
  }
  LoaderOutcome out;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    out = HandleLocked(data);
  }
  if (!out.replies.empty()) out.delayMs = knobs_.replyDelayMs.load();
  return out;
}

LoaderOutcome LoaderModel::HandleLocked(const LoaderBytes& data) {
  LoaderOutcome out;
  const uint8_t option = data[1];
  if (option & (kGetBit | kSetBit)) {
    if ((option & 0x3F) == kDataUei && (option & (kGetBit | kSetBit)) == kSetBit && data.size() >= 4) {
      SequencePacket(data, out);
    } else if (data.size() >= 3) {
      const bool set = (option & (kGetBit | kSetBit)) == kSetBit;
      const uint8_t echoed = set ? static_cast<uint8_t>(option | kGetBit | kSetBit) : (option & 0x3F);
      out.replies.push_back(UeiError(echoed, data[2] & 0x1F, set ? kErrUnimplemented : kErrInvalidOption));
    } else {
      ++counters_.malformed;
    }
    return out;
  }
  auto wrongLength = [&](size_t expected) {
    if (data.size() == expected) return false;
    ++counters_.malformed;
    return true;
  };
  switch (option) {
    case kInit: {
      if (wrongLength(2)) break;
      LoaderBytes reply{kCommand, kInit};
      PutBig32(reply, settings_.loadBase);
      out.replies.push_back(std::move(reply));
      break;
    }
    case kData:
      if (data.size() < 3 || data.size() > 2 + kMaxPlainData) {
        ++counters_.malformed;
        break;
      }
      Data(data, out);
      break;
    case kLoad:
      if (wrongLength(2)) break;
      ++counters_.loads;
      inLoader_ = true;
      prepared_ = false;
      chunk_.clear();
      sequenceOpen_ = sequenceBroken_ = false;
      if (!settings_.restartOnLoad) {
        out.replies.push_back({kCommand, kLoad});
        break;
      }
      if (settings_.answerLoadBeforeRestart) out.replies.push_back({kCommand, kLoad});
      out.event = LinkEvent::kRestart;
      out.comesBack = !knobs_.neverBackAfterLoad.load();
      loadAnswerPending_ = out.comesBack;
      break;
    case kPrepare: {
      if (wrongLength(7)) break;
      ++counters_.prepares;
      chunk_.clear();
      sequenceOpen_ = sequenceBroken_ = false;
      sum_ = 0;
      blockOffset_ = 0;
      if (TakeOne(knobs_.refusePrepares)) {
        prepared_ = false;
        LoaderBytes reply = StatusReply(knobs_.refuseStatus.load());
        PutBig16(reply, 0);
        out.replies.push_back(std::move(reply));
        break;
      }
      prepared_ = true;
      flags_ = data[2];
      address_ = GetBig32(&data[3]);
      LoaderBytes reply = StatusReply(kStatusOk);
      PutBig16(reply, settings_.blockSize);
      out.replies.push_back(std::move(reply));
      break;
    }
    case kSum: {
      if (wrongLength(2)) break;
      ++counters_.sums;
      uint32_t sum = sum_;
      if (TakeOne(knobs_.wrongSums)) ++sum;
      sum_ = 0;
      LoaderBytes reply = StatusReply(kStatusOk);
      PutBig32(reply, sum);
      out.replies.push_back(std::move(reply));
      break;
    }
    case kWrite: {
      if (wrongLength(4)) break;
      ++counters_.writes;
      const size_t count = (size_t{data[2]} << 8) | data[3];
      const uint64_t at = uint64_t{address_} + blockOffset_;
      uint8_t status = kStatusOk;
      if (!inLoader_) {
        status = kStatusNotInLoader;
      } else if (!prepared_) {
        status = kStatusNotPrepared;
      } else if (count != chunk_.size()) {
        status = kStatusCountMismatch;
      } else if (count > 0 && (at + count > kAddressSpace ||
                               !StoreInMemory(flash_, static_cast<uint32_t>(at), chunk_.data(), count))) {
        status = kStatusNoRoom;
      } else {
        blockOffset_ += count;
      }
      chunk_.clear();
      out.replies.push_back(StatusReply(status));
      break;
    }
    case kReboot: {
      if (wrongLength(2)) break;
      ++counters_.reboots;
      inLoader_ = false;
      prepared_ = false;
      loadAnswerPending_ = false;
      chunk_.clear();
      sequenceOpen_ = sequenceBroken_ = false;
      for (const auto& [address, bytes] : ram_) memoryUsed_ -= bytes.size();
      ram_.clear();
      if (!settings_.flashOut.empty()) {
        std::string error;
        if (!WriteFlashFile(settings_.flashOut, flash_, &error)) {
          std::fprintf(stderr, "vmodule: %s\n", error.c_str());
        }
      }
      out.event = LinkEvent::kReboot;
      out.comesBack = !knobs_.neverBackAfterReboot.load();
      out.identity = FlashIdentityLocked();
      break;
    }
    default: ++counters_.malformed; break;
  }
  return out;
}

bool LoaderModel::DataAckDropped() {
  const uint32_t n = ++counters_.dataAcks;
  return n == knobs_.dropNthDataAck.load();
}

void LoaderModel::Data(const LoaderBytes& data, LoaderOutcome& out) {
  const uint32_t n = ++counters_.dataPackets;
  if (n == knobs_.closeAtDataPacket.load()) {
    out.event = LinkEvent::kClose;
    return;
  }
  const size_t length = data.size() - 2;
  const uint32_t wrongFrom = knobs_.wrongCountNth.load();
  const uint32_t repeat = std::max<uint32_t>(1, knobs_.wrongCountRepeat.load());
  size_t accepted = 0;
  if (wrongFrom != 0 && n >= wrongFrom && n - wrongFrom < repeat) {
    accepted = length - 1;  // and the bytes are not kept
  } else {
    accepted = Accept(&data[2], length);
  }
  if (DataAckDropped()) return;
  out.replies.push_back({kCommand, kData, static_cast<uint8_t>(accepted)});
}

void LoaderModel::SequencePacket(const LoaderBytes& data, LoaderOutcome& out) {
  const uint32_t n = ++counters_.dataPackets;
  if (n == knobs_.closeAtDataPacket.load()) {
    out.event = LinkEvent::kClose;
    return;
  }
  const uint8_t ack = kDataUei | kGetBit | kSetBit;
  const uint8_t index = data[2] & 0x1F;
  if (index != 0) {
    out.replies.push_back(UeiError(ack, index, kErrIndexRange));
    return;
  }
  const uint8_t sequenceByte = data.back();
  const uint8_t number = sequenceByte & 0x7F;
  const bool more = sequenceByte & kMoreBit;
  const size_t length = data.size() - 4;
  auto fail = [&](uint8_t code) {
    ++counters_.sequenceErrors;
    sequenceOpen_ = false;
    sequenceBroken_ = true;
    sequence_.clear();
    out.replies.push_back(UeiError(ack, index, code));
  };

  // Packet 0 starts a transfer, except as the 129th packet of one in progress.
  if (number == 0 && !(sequenceOpen_ && expectedSequence_ == 0)) {
    sequenceOpen_ = true;
    sequenceBroken_ = false;
    expectedSequence_ = 0;
    sequence_.clear();
  }
  if (!sequenceOpen_) {
    if (!sequenceBroken_) fail(kErrPacket);  // its start is missing
    return;                                  // the rest of a broken transfer is ignored
  }
  if (number != expectedSequence_) return fail(kErrPacket);
  if (more && length != kSequenceChunk) return fail(kErrPacket);
  const size_t limit = inLoader_ ? settings_.blockSize : kRamSequenceLimit;
  if (sequence_.size() + length > limit) return fail(kErrOverrun);
  sequence_.insert(sequence_.end(), data.begin() + 3, data.end() - 1);
  expectedSequence_ = (expectedSequence_ + 1) & 0x7F;
  if (more) return;

  sequenceOpen_ = false;
  LoaderBytes bytes;
  bytes.swap(sequence_);
  uint8_t code = 0;
  if (!prepared_) {
    code = kErrMode;
  } else if (inLoader_ ? chunk_.size() + bytes.size() > settings_.blockSize
                       : uint64_t{address_} + blockOffset_ + bytes.size() > kAddressSpace ||
                             memoryUsed_ + bytes.size() > settings_.memoryLimit) {
    code = kErrOverrun;
  } else if (Accept(bytes.data(), bytes.size()) != bytes.size()) {
    code = kErrOverrun;
  }
  if (DataAckDropped()) return;
  out.replies.push_back(code ? UeiError(ack, index, code) : LoaderBytes{kCommand, ack, index});
}

size_t LoaderModel::Accept(const uint8_t* bytes, size_t length) {
  if (!prepared_) return 0;
  size_t taken = 0;
  if (inLoader_) {
    taken = std::min(length, settings_.blockSize - std::min<size_t>(settings_.blockSize, chunk_.size()));
    chunk_.insert(chunk_.end(), bytes, bytes + taken);
  } else {
    const uint64_t at = uint64_t{address_} + blockOffset_;
    if (at + length > kAddressSpace || !StoreInMemory(ram_, static_cast<uint32_t>(at), bytes, length)) {
      return 0;
    }
    taken = length;
    blockOffset_ += taken;
  }
  for (size_t i = 0; i < taken; ++i) sum_ += bytes[i];
  return taken;
}

bool LoaderModel::StoreInMemory(MemoryMap& map, uint32_t address, const uint8_t* bytes, size_t length) {
  if (length == 0) return true;
  const uint64_t start = address;
  const uint64_t end = start + length;
  // The first record that overlaps or touches [start, end).
  auto first = map.upper_bound(address);
  if (first != map.begin()) {
    auto before = std::prev(first);
    if (before->first + uint64_t{before->second.size()} >= start) first = before;
  }
  // Appending to the end of one record, the common case, needs no copy.
  if (first != map.end() && first->first + uint64_t{first->second.size()} == start) {
    auto next = std::next(first);
    if (next == map.end() || next->first > end) {
      if (memoryUsed_ + length > settings_.memoryLimit) return false;
      first->second.insert(first->second.end(), bytes, bytes + length);
      memoryUsed_ += length;
      return true;
    }
  }
  uint64_t mergedStart = start;
  uint64_t mergedEnd = end;
  size_t oldBytes = 0;
  auto last = first;
  for (; last != map.end() && last->first <= end; ++last) {
    mergedStart = std::min<uint64_t>(mergedStart, last->first);
    mergedEnd = std::max<uint64_t>(mergedEnd, last->first + uint64_t{last->second.size()});
    oldBytes += last->second.size();
  }
  const size_t mergedSize = static_cast<size_t>(mergedEnd - mergedStart);
  if (memoryUsed_ - oldBytes + mergedSize > settings_.memoryLimit) return false;
  LoaderBytes merged(mergedSize);
  for (auto it = first; it != last; ++it) {
    std::copy(it->second.begin(), it->second.end(), merged.begin() + (it->first - mergedStart));
  }
  std::copy(bytes, bytes + length, merged.begin() + (start - mergedStart));
  map.erase(first, last);
  map.emplace(static_cast<uint32_t>(mergedStart), std::move(merged));
  memoryUsed_ = memoryUsed_ - oldBytes + mergedSize;
  return true;
}

std::vector<LoaderBytes> LoaderModel::OnLinkUp() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!loadAnswerPending_) return {};
  loadAnswerPending_ = false;
  return {{kCommand, kLoad}};
}

uint32_t LoaderModel::ProtocolFeatures() const { return settings_.pooledPackets ? kPooledPacketsFeature : 0; }

uint8_t LoaderModel::CapabilityAnswer(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const {
  const bool known = command == kCommand && index == 0 && (flags == 0 || flags == kSetBit) &&
                     option == kDataUei && settings_.ueiData;
  return known ? 0 : kErrUnimplemented;
}

bool LoaderModel::InLoader() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return inLoader_;
}

MemoryMap LoaderModel::Flash() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return flash_;
}

MemoryMap LoaderModel::Ram() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ram_;
}

std::optional<FirmwareIdentity> LoaderModel::FlashIdentity() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return FlashIdentityLocked();
}

std::optional<FirmwareIdentity> LoaderModel::FlashIdentityLocked() const {
  for (const auto& [address, bytes] : flash_) {
    auto image = birdwriter::ParseVirtualFirmwareImage(bytes.data(), bytes.size());
    if (!image) continue;
    FirmwareIdentity identity;
    identity.build = image->descriptor.build;
    identity.version = image->descriptor.version;
    ParseTriple(identity.version, &identity.versionMajor, &identity.versionMinor, &identity.versionPatch);
    identity.modelName = image->descriptor.model;
    identity.model = image->modelNumber;
    return identity;
  }
  return std::nullopt;
}

bool LoaderModel::SaveFlash(std::string* error) const {
  if (settings_.flashOut.empty()) return true;
  return WriteFlashFile(settings_.flashOut, Flash(), error);
}

// --- flash file ---

namespace {
constexpr char kFlashMagic[] = "vmflash1";
constexpr size_t kFlashMagicSize = 8;
}  // namespace

LoaderBytes EncodeFlash(const MemoryMap& flash) {
  LoaderBytes out(kFlashMagic, kFlashMagic + kFlashMagicSize);
  PutBig32(out, static_cast<uint32_t>(flash.size()));
  for (const auto& [address, bytes] : flash) {
    PutBig32(out, address);
    PutBig32(out, static_cast<uint32_t>(bytes.size()));
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  return out;
}

std::optional<MemoryMap> DecodeFlash(const LoaderBytes& bytes, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<MemoryMap> {
    if (error) *error = why;
    return std::nullopt;
  };
  if (bytes.size() < kFlashMagicSize + 4 || std::memcmp(bytes.data(), kFlashMagic, kFlashMagicSize) != 0) {
    return fail("not a flash file (no vmflash1 header)");
  }
  const uint32_t count = GetBig32(&bytes[kFlashMagicSize]);
  size_t at = kFlashMagicSize + 4;
  MemoryMap flash;
  uint64_t previousEnd = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (bytes.size() - at < 8) return fail("record " + std::to_string(i) + " header runs past the end");
    const uint32_t address = GetBig32(&bytes[at]);
    const uint32_t length = GetBig32(&bytes[at + 4]);
    at += 8;
    if (bytes.size() - at < length) return fail("record " + std::to_string(i) + " runs past the end");
    if (uint64_t{address} + length > kAddressSpace) {
      return fail("record " + std::to_string(i) + " runs past the address space");
    }
    if (i > 0 && address < previousEnd) {
      return fail("record " + std::to_string(i) + " overlaps or precedes the one before");
    }
    previousEnd = uint64_t{address} + length;
    flash.emplace(address, LoaderBytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                       bytes.begin() + static_cast<std::ptrdiff_t>(at + length)));
    at += length;
  }
  if (at != bytes.size()) return fail(std::to_string(bytes.size() - at) + " bytes after the last record");
  return flash;
}

bool WriteFlashFile(const std::string& path, const MemoryMap& flash, std::string* error) {
  const LoaderBytes bytes = EncodeFlash(flash);
  std::string temp = path + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) {
    if (error) *error = "cannot create a temporary file for " + path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = true;
  for (size_t done = 0; ok && done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      ok = false;
    else
      done += static_cast<size_t>(n);
  }
  // mkstemp makes the file 0600; the flash file is an ordinary output.
  ok = ok && fchmod(fd, 0644) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && std::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    if (error) *error = "cannot write " + path + ": " + std::strerror(errno);
    unlink(temp.c_str());
  }
  return ok;
}

std::optional<MemoryMap> ReadFlashFile(const std::string& path, std::string* error) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    if (error) *error = "cannot read " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  LoaderBytes bytes;
  uint8_t buffer[65536];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  const bool failed = std::ferror(f);
  std::fclose(f);
  if (failed) {
    if (error) *error = "cannot read " + path;
    return std::nullopt;
  }
  auto flash = DecodeFlash(bytes, error);
  if (!flash && error) *error = path + ": " + *error;
  return flash;
}

}  // namespace vmodule
