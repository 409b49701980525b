// A scripted transport for stream tests: reads come from a queue of bytes
// and errors; writes are recorded call by call.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "Corvantis2/common/aStream.h"

struct FakeTransport {
  struct Item {
    uint8_t byte;
    aErr err;
  };
  std::deque<Item> input;
  aErr whenEmpty = aErrNotReady;
  std::vector<std::vector<uint8_t>> writes;  // one entry per write or put call
  int putCalls = 0;
  int writeCalls = 0;
  bool* deleted = nullptr;

  void Bytes(const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) input.push_back({b, aErrNone});
  }
  void Text(const std::string& text) {
    for (char c : text) input.push_back({static_cast<uint8_t>(c), aErrNone});
  }
  void Error(aErr err) { input.push_back({0, err}); }
  std::vector<uint8_t> Written() const {
    std::vector<uint8_t> all;
    for (auto& w : writes) all.insert(all.end(), w.begin(), w.end());
    return all;
  }

  static aErr Get(uint8_t* byte, void* ref) {
    auto* t = static_cast<FakeTransport*>(ref);
    if (t->input.empty()) return t->whenEmpty;
    Item item = t->input.front();
    t->input.pop_front();
    if (item.err == aErrNone) *byte = item.byte;
    return item.err;
  }
  static aErr Put(uint8_t byte, void* ref) {
    auto* t = static_cast<FakeTransport*>(ref);
    t->putCalls++;
    t->writes.push_back({byte});
    return aErrNone;
  }
  static aErr Write(const uint8_t* bytes, size_t length, void* ref) {
    auto* t = static_cast<FakeTransport*>(ref);
    t->writeCalls++;
    t->writes.emplace_back(bytes, bytes + length);
    return aErrNone;
  }
  static aErr Delete(void* ref) {
    auto* t = static_cast<FakeTransport*>(ref);
    if (t->deleted) *t->deleted = true;
    return aErrNone;
  }

  // A stream over this transport; the transport outlives it (Delete frees nothing).
  aStream* MakeStream(bool withWrite = true) {
    return aStream_Create(Get, Put, withWrite ? Write : nullptr, Delete, this);
  }
};
