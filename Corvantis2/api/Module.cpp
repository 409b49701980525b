// Direct queries (data bytes of plain packets to the module address):
//
//   0x49, 0xFF                           -> 0x49, 0xFF, build (32-bit)
//   0x49, 1, command, option, index, fl  -> 0x49, 1, command, option, index, answer
//   0x49, 4, class                       -> 0x49, 4, class, count
//   0x49, 5, class, index                -> 0x49, 5, class, index, count
//   0x49, 6, class, index                -> 0x49, 6, class, index, group
//   23, bytes...                         -> 23, the same bytes (debug echo)
#include "Corvantis2/api/Module.h"

#include <cstring>

#include "Corvantis2/unix/aTime.h"

namespace Vorantix::Corvantis {

namespace {

constexpr uint8_t kQueryBuild = 0xFF;
constexpr uint8_t kQueryHasUEI = 1;
constexpr uint8_t kQueryClassQuantity = 4;
constexpr uint8_t kQuerySubClassQuantity = 5;
constexpr uint8_t kQueryEntityGroup = 6;
constexpr int kAutoNetworkTries = 4;
constexpr uint32_t kAutoNetworkPauseMs = 5;

}  // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool autoNetworking, uint8_t model)
    : link_(std::make_unique<Link>("Link")),
      address_(address),
      autoNetworking_(autoNetworking),
      model_(model) {}

Module::~Module() = default;

aErr Module::connect(linkType type, uint32_t serialNumber) {
  if (serialNumber == 0) return aErrParam;
  return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
  if (!link_) return aErrInitialization;
  const aErr result = link_->discoverAndConnect(type, serialNumber, model_);
  return result == aErrNone ? _autoNetwork() : result;
}

aErr Module::connectFromSpec(const linkSpec& spec) {
  if (!link_) return aErrInitialization;
  if (link_->isConnected()) return aErrBusy;
  aErr result = link_->setLinkSpecifier(spec);
  if (result == aErrNone) result = link_->connect();
  return result == aErrNone ? _autoNetwork() : result;
}

aErr Module::connectThroughLinkModule(Module* linkModule) {
  if (!link_) return aErrInitialization;
  if (link_->isConnected()) return aErrNone;
  if (!linkModule || !linkModule->link_) return aErrInitialization;
  linkSpec spec{};
  aErr result = linkModule->getLinkSpecifier(&spec);
  if (result != aErrNone) return result;
  PendarConfig config;
  result = linkModule->getConfig(&config);
  if (result == aErrNone) result = link_->setConfig(config);
  if (result != aErrNone) return result;
  // Through the link module's sharing server, once one serves (it has been
  // given a port); until then the physical link itself is shared.
  if (config.enabled && config.assignedPort != 0) {
    spec.type = PENDAR;
    spec.ipAddress = config.networkInterface;
    spec.ipPort = config.assignedPort;
  }
  result = link_->setLinkSpecifier(spec);
  if (result == aErrNone) result = link_->connectThroughLinkModule(*linkModule->link_);
  if (result == aErrNone) autoNetworking_ = false;
  return result;
}

aErr Module::reconnect() {
  if (!link_) return aErrInitialization;
  const aErr result = link_->connect();
  return result == aErrNone ? _autoNetwork() : result;
}

aErr Module::disconnect() { return link_ ? link_->disconnect() : aErrInitialization; }

bool Module::isConnected() const { return link_ && link_->isConnected(); }

int32_t Module::getStatus() const { return link_ ? link_->getStatus() : 8; }

uint8_t Module::getModuleAddress() const { return address_; }

void Module::setModuleAddress(uint8_t address) { address_ = address; }

aErr Module::getLinkSpecifier(linkSpec* spec) const {
  return link_ ? link_->getLinkSpecifier(spec) : aErrNotReady;
}

aErr Module::getConfig(PendarConfig* config) const {
  if (!link_) return aErrNotReady;
  if (!config) return aErrParam;
  return link_->getConfig(config);
}

aErr Module::setConfig(const PendarConfig& config) { return link_ ? link_->setConfig(config) : aErrNotReady; }

Link* Module::getLink() { return link_.get(); }

void Module::setNetworkingMode(bool autoNetworking) { autoNetworking_ = autoNetworking; }

aErr Module::enablePacketLog(const char* fileName) {
  return link_ ? link_->enablePacketLog(fileName) : aErrConfiguration;
}

aErr Module::disablePacketLog() { return link_ ? link_->disablePacketLog() : aErrConfiguration; }

aErr Module::_autoNetwork() {
  if (!autoNetworking_ || !link_) return aErrNone;
  uint8_t learned = 0;
  aErr result = aErrNotReady;
  for (int attempt = 0; attempt < kAutoNetworkTries && result == aErrNotReady; ++attempt) {
    result = link_->getModuleAddress(&learned);
    if (result != aErrNone) aTime_MSSleep(kAutoNetworkPauseMs);
  }
  if (result == aErrNone && learned != 0 && learned != address_) address_ = learned;
  return result;
}

aErr Module::query(const uint8_t* request, uint8_t length, uint8_t* reply, uint8_t* replyLength) {
  if (!link_) return aErrInitialization;
  if (!link_->isConnected()) return aErrConnection;
  aErr result = link_->sendPacket(address_, request[0], static_cast<uint8_t>(length - 1), request + 1);
  if (result != aErrNone) return result;
  return link_->receivePacket(address_, request, replyLength, reply);
}

aErr Module::getBuild(uint32_t* build) {
  if (!build) return aErrParam;
  const uint8_t request[] = {cmdSYSTEM_QUERY, kQueryBuild};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 2;  // the reply filter: both request bytes
  const aErr result = query(request, sizeof request, reply, &length);
  if (result != aErrNone) return result;
  if (length != 6) return aErrSize;
  *build = aUEI_RetrieveInt(reply + 2);
  return aErrNone;
}

// A system query whose reply repeats the request's first `echoed` bytes and
// adds one answer byte; any other reply is aErrUnknown.
aErr Module::queryAnswer(const uint8_t* request, uint8_t length, uint8_t echoed, uint8_t* answer) {
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 1;
  const aErr result = query(request, length, reply, &replyLength);
  if (result != aErrNone) return result;
  if (replyLength != echoed + 1 || std::memcmp(reply, request, echoed) != 0) return aErrUnknown;
  *answer = reply[echoed];
  return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
  const bool getAndSet = (flags & kUEI_GET) && (flags & kUEI_SET);
  if ((flags & 0x3F) != 0 || getAndSet) return aErrParam;
  // The flags are not repeated in the reply; the answer byte takes their place.
  const uint8_t request[] = {cmdSYSTEM_QUERY, kQueryHasUEI, command, option, index, flags};
  uint8_t answer = 0;
  const aErr result = queryAnswer(request, sizeof request, 5, &answer);
  return result != aErrNone ? result : static_cast<aErr>(answer);
}

aErr Module::classQuantity(uint8_t entityClass, uint8_t* count) {
  if (count) *count = 0;
  if (!count) return aErrParam;
  const uint8_t request[] = {cmdSYSTEM_QUERY, kQueryClassQuantity, entityClass};
  return queryAnswer(request, sizeof request, sizeof request, count);
}

aErr Module::subClassQuantity(uint8_t entityClass, uint8_t index, uint8_t* count) {
  if (count) *count = 0;
  if (!count) return aErrParam;
  const uint8_t request[] = {cmdSYSTEM_QUERY, kQuerySubClassQuantity, entityClass, index};
  return queryAnswer(request, sizeof request, sizeof request, count);
}

aErr Module::entityGroup(uint8_t entityClass, uint8_t index, uint8_t* group) {
  if (group) *group = 0;
  if (!group) return aErrParam;
  const uint8_t request[] = {cmdSYSTEM_QUERY, kQueryEntityGroup, entityClass, index};
  return queryAnswer(request, sizeof request, sizeof request, group);
}

aErr Module::debug(const uint8_t* data, uint8_t length) {
  if (length > 0 && !data) return aErrParam;
  if (length > 27) return aErrParam;
  if (!link_) return aErrInitialization;
  if (!link_->isConnected()) return aErrConnection;
  aErr result = link_->sendPacket(address_, cmdDEBUG, length, data);
  if (result != aErrNone) return result;
  const uint8_t filter[] = {cmdDEBUG};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 1;
  result = link_->receivePacket(address_, filter, &replyLength, reply);
  if (result != aErrNone) return result;
  if (replyLength != length + 1 || (length && std::memcmp(reply + 1, data, length) != 0)) return aErrIO;
  return aErrNone;
}

}  // namespace Vorantix::Corvantis
