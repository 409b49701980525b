#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <vector>

#include "Corvantis2/common/aDiscovery.h"
#include "Corvantis2/common/aLinkCreate.h"
#include "NetNamespace.h"
#include "sim/vmodule/VirtualModule.h"

namespace {

uint32_t Address(const char* dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  return a.s_addr;
}

vmodule::Options ModuleOnVB(uint32_t serial, uint16_t port) {
  vmodule::Options options;
  options.modules[0].serial = serial;
  options.modules[0].address = 6;
  options.modules[0].model = 5;
  options.heartbeatMs = 0;
  options.tcpPort = port;
  options.discoveryInterfaces = {kNamespaceModuleAddress};
  return options;
}

struct Seen {
  std::vector<linkSpec> specs;
  bool stopAtFirst = false;
  bool countThem = true;
};

bool Collect(const linkSpec* spec, bool* success, void* ref) {
  auto* seen = static_cast<Seen*>(ref);
  seen->specs.push_back(*spec);
  *success = seen->countThem;
  return !seen->stopAtFirst;
}

bool NeverCalled(const linkSpec*, bool*, void*) {
  ADD_FAILURE() << "callback called";
  return true;
}

// Collects failures inside the namespace child, where gtest cannot report.
class Checks {
 public:
  template <typename A, typename B>
  void Equal(const A& actual, const B& expected, const char* what) {
    if (actual == static_cast<A>(expected)) return;
    out_ << what << ": got " << +actual << ", expected " << +static_cast<A>(expected) << "\n";
  }
  void True(bool condition, const char* what) {
    if (!condition) out_ << what << "\n";
  }
  std::string Result() const { return out_.str(); }

 private:
  std::ostringstream out_;
};

TEST(DiscoveryReply, ExampleReplyGivesItsFields) {
  const uint8_t reply[16] = {0x00, 0x06, 0x70, 0x17, 0x2A, 0, 0, 0, 0, 0, 0, 0, 0x05, 0, 0, 0};
  linkSpec spec;
  ASSERT_TRUE(aDiscovery_ParseReply(reply, sizeof reply, Address("10.0.0.7"), &spec));
  EXPECT_EQ(spec.type, TCPIP);
  EXPECT_EQ(spec.serialNumber, 42u);
  EXPECT_EQ(spec.routerSerialNumber, 42u);
  EXPECT_EQ(spec.moduleAddress, 6u);
  EXPECT_EQ(spec.routerAddress, 6u);
  EXPECT_EQ(spec.ipPort, 6000u);
  EXPECT_EQ(spec.model, 5u);
  EXPECT_EQ(spec.ipAddress, Address("10.0.0.7"));
  // Short datagrams: without byte 12 the model is 255; without a whole
  // serial number there is no device.
  ASSERT_TRUE(aDiscovery_ParseReply(reply, 12, Address("10.0.0.7"), &spec));
  EXPECT_EQ(spec.model, 255u);
  EXPECT_FALSE(aDiscovery_ParseReply(reply, 7, Address("10.0.0.7"), &spec));
}

TEST(Discovery, TypesWithoutEnumerationFindNothing) {
  for (uint32_t type : {0u, 3u, 4u, 5u, 6u, 7u, 8u, 200u})
    EXPECT_EQ(aDiscovery_EnumerateModules(static_cast<linkType>(type), NeverCalled, nullptr, 0), 0u) << type;
  EXPECT_EQ(aDiscovery_FindModule(SERIAL, 42, 0), nullptr);
  EXPECT_EQ(aDiscovery_FindFirstModule(SERIAL, 0), nullptr);
}

TEST(LinkSpec, CreateCopyDestroy) {
  linkSpec* spec = aLinkSpec_Create(SERIAL);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->type, SERIAL);
  for (uint8_t b : spec->raw) ASSERT_EQ(b, 0);
  spec->baudRate = 115200;
  std::strcpy(spec->portName, "/dev/ttyUSB0");
  linkSpec* copy = aLinkSpec_Copy(spec);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(0, std::memcmp(copy, spec, sizeof *spec));
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
  EXPECT_EQ(spec, nullptr);
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
  EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
  EXPECT_EQ(aLinkSpec_Copy(nullptr), nullptr);
  aLinkSpec_Destroy(&copy);
}

TEST(Discovery, FindsTheModuleAndConnectsToIt) {
  RUN_IN_PRIVATE_NETWORK([] {
    Checks check;
    vmodule::VirtualModule module(ModuleOnVB(42, 6000));
    if (!module.Start()) return std::string("virtual module did not start");
    Seen seen;
    const uint32_t found = aDiscovery_EnumerateModules(TCPIP, Collect, &seen, Address(kNamespaceHostAddress));
    check.Equal(found, 1u, "devices counted");
    check.Equal(seen.specs.size(), 1u, "devices seen");
    if (seen.specs.size() == 1) {
      const linkSpec& spec = seen.specs[0];
      check.Equal(spec.serialNumber, 42u, "serial");
      check.Equal(spec.moduleAddress, 6u, "module address");
      check.Equal(spec.ipPort, 6000u, "port");
      check.Equal(spec.model, 5u, "model");
      check.Equal(spec.ipAddress, Address(kNamespaceModuleAddress), "address");
      aLinkRef link = aLink_CreateTCPIP(spec.serialNumber, spec.ipAddress, spec.ipPort);
      check.True(link != 0, "link to the discovered module");
      aLink_Destroy(&link);
    }
    linkSpec* present = aDiscovery_FindModule(TCPIP, 42, 0);  // every interface
    check.True(present != nullptr, "FindModule of a present module");
    if (present) check.Equal(present->model, 5u, "model of the found module");
    aLinkSpec_Destroy(&present);
    linkSpec* absent = aDiscovery_FindModule(TCPIP, 0x99, Address(kNamespaceHostAddress));
    check.True(absent == nullptr, "FindModule of an absent module");
    aLinkSpec_Destroy(&absent);
    linkSpec* first = aDiscovery_FindFirstModule(TCPIP, Address(kNamespaceHostAddress));
    check.True(first != nullptr && first->serialNumber == 42, "FindFirstModule");
    aLinkSpec_Destroy(&first);
    return check.Result();
  });
}

TEST(Discovery, CallbackDecidesWhatCountsAndWhenToStop) {
  RUN_IN_PRIVATE_NETWORK([] {
    Checks check;
    vmodule::VirtualModule one(ModuleOnVB(0x11, 6001));
    vmodule::VirtualModule two(ModuleOnVB(0x22, 6002));
    if (!one.Start() || !two.Start()) return std::string("virtual modules did not start");
    Seen all;
    all.countThem = false;
    check.Equal(aDiscovery_EnumerateModules(TCPIP, Collect, &all, Address(kNamespaceHostAddress)), 0u,
                "count when the callback counts none");
    check.Equal(all.specs.size(), 2u, "devices seen");
    Seen first;
    first.stopAtFirst = true;
    check.Equal(aDiscovery_EnumerateModules(TCPIP, Collect, &first, Address(kNamespaceHostAddress)), 1u,
                "count when stopping at the first");
    check.Equal(first.specs.size(), 1u, "devices seen before stopping");
    // A silent module is simply not found.
    two.knobs().silent = true;
    one.knobs().silent = true;
    check.True(aDiscovery_FindFirstModule(TCPIP, Address(kNamespaceHostAddress)) == nullptr,
               "silent modules are not found");
    return check.Result();
  });
}

}  // namespace
