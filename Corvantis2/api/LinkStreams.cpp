// Placeholder until the stream table is built: every operation reports
// aErrUnimplemented and no stream packet is ever filtered.
#include "Corvantis2/api/LinkStreams.h"

namespace Vorantix::Corvantis {

struct LinkStreams::impl {};

LinkStreams::LinkStreams() : impl_(std::make_unique<impl>()) {}
LinkStreams::~LinkStreams() = default;

uint64_t LinkStreams::createStreamKey(uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index,
                                      uint8_t subindex) {
  return (uint64_t{subindex} << 32) | (uint64_t{module} << 24) | (uint64_t{entityClass} << 16) |
         (uint64_t{option} << 8) | index;
}
uint8_t LinkStreams::getStreamKeyElement(uint64_t, uint8_t) { return 0; }
bool LinkStreams::isStreamPacket(const aPacket*) { return false; }
bool LinkStreams::isStreamSample(const aPacket*) { return false; }
bool LinkStreams::getStreamPacketType(const aPacket*, STREAM_PACKET* type) {
  if (type) *type = streamNone;
  return false;
}
bool LinkStreams::isSubindexType(STREAM_PACKET type) { return type >= streamSubindexByte && type <= streamSubindexInt; }
aErr LinkStreams::getStreamSample(const aPacket*, uint64_t*, uint32_t*, uint8_t*) { return aErrUnimplemented; }
void LinkStreams::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low) {
  if (high) *high = static_cast<uint32_t>(timestamp >> 32);
  if (low) *low = static_cast<uint32_t>(timestamp);
}
void LinkStreams::attach(aLinkRef) {}
aErr LinkStreams::registerStreamCallback(uint8_t, uint8_t, uint8_t, uint8_t, bool, StreamCallback, void*,
                                         const StreamDeviceSetter&) {
  return aErrUnimplemented;
}
aErr LinkStreams::getStreamValue(uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint32_t*) { return aErrUnimplemented; }
aErr LinkStreams::getStreamStatus(uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, StreamStatusEntry*, size_t, size_t*) {
  return aErrUnimplemented;
}
std::vector<uint64_t> LinkStreams::filterActiveStreamKeys(uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, bool) {
  return {};
}
aErr LinkStreams::installStreamFilter(bool) { return aErrUnimplemented; }

}  // namespace Vorantix::Corvantis
