// Device discovery.
//
// TCP/IP request (16 bytes, to 232.2.2.2:9888): byte 0 = 1, the rest 0.
// Reply (16 bytes, unicast to the requester's port 9889):
//   byte 1      module address (also taken as router address)
//   bytes 2-3   TCP port, little-endian
//   bytes 4-7   serial number, little-endian
//   byte 12     model
// The device's IP address is the reply's source address.
#include "Corvantis2/common/aDiscovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "Corvantis2/unix/aUSBDiscovery.h"

namespace {

constexpr size_t kMinimumReply = 8;  // through the serial number
constexpr size_t kModelOffset = 12;

uint32_t sLittle32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Owns one descriptor.
class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Interfaces in network byte order: the one asked for, or every IPv4
// interface but loopback; {0} (the default interface) when none can be listed.
std::vector<uint32_t> sRequestInterfaces(uint32_t hostInterface) {
  if (hostInterface) return {htonl(hostInterface)};
  std::vector<uint32_t> found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return {0};
  for (ifaddrs* at = list; at; at = at->ifa_next) {
    if (!at->ifa_addr || at->ifa_addr->sa_family != AF_INET) continue;
    const uint32_t address = reinterpret_cast<const sockaddr_in*>(at->ifa_addr)->sin_addr.s_addr;
    if (address == htonl(INADDR_LOOPBACK)) continue;
    found.push_back(address);
  }
  freeifaddrs(list);
  return found;
}

bool sSendRequest(uint32_t interfaceAddress) {
  Socket request(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (request.fd() < 0) return false;
  const int on = 1;
  setsockopt(request.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  in_addr via{};
  via.s_addr = interfaceAddress;
  if (setsockopt(request.fd(), IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via) != 0) return false;
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(aDISCOVERY_REQUEST_PORT);
  inet_pton(AF_INET, aDISCOVERY_GROUP, &group.sin_addr);
  uint8_t datagram[aDISCOVERY_DATAGRAM_SIZE] = {1};
  return sendto(request.fd(), datagram, sizeof datagram, 0, reinterpret_cast<const sockaddr*>(&group),
                sizeof group) == static_cast<ssize_t>(sizeof datagram);
}

uint32_t sEnumerateTcpip(aDiscoveryCallback callback, void* ref, uint32_t networkInterface) {
  uint32_t hostInterface = ntohl(networkInterface);
  if (hostInterface == INADDR_LOOPBACK) hostInterface = 0;

  Socket listener(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (listener.fd() < 0) return 0;
  const int on = 1;
  setsockopt(listener.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(aDISCOVERY_REPLY_PORT);
  local.sin_addr.s_addr = htonl(hostInterface);
  if (bind(listener.fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return 0;
  const timeval wait{aDISCOVERY_RECEIVE_TIMEOUT_MS / 1000, (aDISCOVERY_RECEIVE_TIMEOUT_MS % 1000) * 1000};
  if (setsockopt(listener.fd(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) return 0;

  bool sent = false;
  for (uint32_t address : sRequestInterfaces(hostInterface)) sent = sSendRequest(address) || sent;
  if (!sent) return 0;

  uint32_t count = 0;
  bool goOn = true;
  while (goOn) {
    uint8_t datagram[aDISCOVERY_DATAGRAM_SIZE] = {};
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t got = recvfrom(listener.fd(), datagram, sizeof datagram, 0,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (got < 0) break;
    linkSpec spec;
    // Too short to name a device: not a reply of ours.
    if (!aDiscovery_ParseReply(datagram, static_cast<size_t>(got), from.sin_addr.s_addr, &spec)) continue;
    bool success = false;
    goOn = callback ? callback(&spec, &success, ref) : true;
    if (success) ++count;
  }
  return count;
}

struct FindState {
  linkSpec* reference;
  bool firstNonZero;
};

bool sFindCallback(const linkSpec* spec, bool* success, void* ref) {
  auto* state = static_cast<FindState*>(ref);
  const bool match =
      state->firstNonZero ? spec->serialNumber != 0 : spec->serialNumber == state->reference->serialNumber;
  if (!match) return true;
  std::memcpy(state->reference, spec, sizeof *spec);
  *success = true;
  return false;
}

linkSpec* sFind(linkType type, uint32_t serialNumber, bool firstNonZero, uint32_t networkInterface) {
  linkSpec* reference = aLinkSpec_Create(type);
  if (!reference) return nullptr;
  reference->serialNumber = serialNumber;
  FindState state{reference, firstNonZero};
  if (aDiscovery_EnumerateModules(type, sFindCallback, &state, networkInterface) == 0)
    aLinkSpec_Destroy(&reference);
  return reference;
}

}  // namespace

bool aDiscovery_ParseReply(const uint8_t* datagram, size_t length, uint32_t sourceAddress, linkSpec* spec) {
  if (!datagram || !spec || length < kMinimumReply) return false;
  std::memset(spec, 0, sizeof *spec);
  spec->type = TCPIP;
  spec->serialNumber = sLittle32(datagram + 4);
  spec->routerSerialNumber = spec->serialNumber;
  spec->moduleAddress = datagram[1];
  spec->routerAddress = datagram[1];
  spec->model = length > kModelOffset ? datagram[kModelOffset] : 255;
  spec->ipAddress = sourceAddress;
  spec->ipPort = static_cast<uint32_t>(datagram[2]) | static_cast<uint32_t>(datagram[3]) << 8;
  return true;
}

uint32_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* ref,
                                     uint32_t networkInterface) {
  switch (type) {
    case TCPIP: return sEnumerateTcpip(callback, ref, networkInterface);
    case USB: return aDiscovery_EnumerateUSB(callback, ref);
    // The networked types (sharing servers) are provided with their
    // transport; until then they find nothing.
    case PENDAR:
    case PENDAR_USB:
    case PENDAR_TCPIP:
    case PENDAR_SERIAL:
    // Serial ports are not enumerated.
    case INVALID:
    case SERIAL:
    default: return 0;
  }
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
  return sFind(type, serialNumber, false, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
  return sFind(type, 0, true, networkInterface);
}
