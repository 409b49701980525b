// One device module: reached through its own Link and addressed on it by an
// 8-bit module address. Connects by discovery, from a specifier or through
// another module's link (a module behind a router), learns its address
// after connecting, and answers a few direct queries outside the UEI scheme.
#pragma once

#include <cstdint>
#include <memory>

#include "Corvantis2/api/Link.h"

namespace Vorantix::Corvantis {

class Module {
 public:
  Module(uint8_t address, uint8_t model);
  Module(uint8_t address, bool autoNetworking, uint8_t model);
  virtual ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // Serial number 0 is refused with aErrParam.
  aErr connect(linkType type, uint32_t serialNumber);
  aErr discoverAndConnect(linkType type, uint32_t serialNumber);
  aErr connectFromSpec(const linkSpec& spec);
  // Shares the engine link of linkModule (already connected). Clears
  // auto-networking: the caller sets this module's address.
  aErr connectThroughLinkModule(Module* linkModule);
  aErr reconnect();
  aErr disconnect();
  bool isConnected() const;
  int32_t getStatus() const;

  uint8_t getModuleAddress() const;
  void setModuleAddress(uint8_t address);
  aErr getLinkSpecifier(linkSpec* spec) const;
  aErr getConfig(PendarConfig* config) const;
  aErr setConfig(const PendarConfig& config);
  Link* getLink();
  void setNetworkingMode(bool autoNetworking);
  aErr enablePacketLog(const char* fileName);
  aErr disablePacketLog();

  // Direct queries (command 73 and the debug echo 23), 1000 ms each.
  aErr getBuild(uint32_t* build);
  // flags: 0 (exists), 0x40 (readable) or 0x80 (writable). The answer is the
  // device's: 0 when implemented, else its error code.
  aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
  aErr classQuantity(uint8_t entityClass, uint8_t* count);
  aErr subClassQuantity(uint8_t entityClass, uint8_t index, uint8_t* count);
  aErr entityGroup(uint8_t entityClass, uint8_t index, uint8_t* group);
  aErr debug(const uint8_t* data, uint8_t length);

 protected:
  // The address query after a connect, when auto-networking is on: up to 4
  // tries while the device is not ready.
  aErr _autoNetwork();

 private:
  aErr query(const uint8_t* request, uint8_t length, uint8_t* reply, uint8_t* replyLength);
  aErr queryAnswer(const uint8_t* request, uint8_t length, uint8_t echoed, uint8_t* answer);

  std::unique_ptr<Link> link_;
  uint8_t address_;
  bool autoNetworking_;
  uint8_t model_;
};

}  // namespace Vorantix::Corvantis
