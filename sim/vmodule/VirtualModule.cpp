// Device side of the packet protocol: the transports and the link-level
// packets. Requests to the modules go to the handler table (Device.h).
//
//   host -> device  0xAD 0x00            address query; answered A 0x00 (A: the router's address)
//   host -> device  0xAF 0x01 V          force route on (1) or off (0)
//   device -> host  A 0x02 0x00 0x00     heartbeat (up), every heartbeatMs
//   host -> device  A 0x02 0x00 0x02     its answer
//   host -> device  A n cmd ...          a request to module A; see FindHandler
//   device -> host  stream samples of streaming modules, every streamIntervalMs
//
// Discovery (UDP): a 16-byte request with byte 0 = 1 on 232.2.2.2:9888 is
// answered to the requester's port 9889 with 16 bytes: 0, address, TCP
// port (little-endian, 2 bytes), serial (little-endian, 4 bytes), 4 zero
// bytes, model, 3 zero bytes.
#include "sim/vmodule/VirtualModule.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <list>
#include <mutex>
#include <thread>

#include "sim/vmodule/Device.h"
#include "sim/vmodule/Loader.h"

namespace vmodule {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kAddressQuery = 0xAD;
constexpr uint8_t kForceRoute = 0xAF;
constexpr uint8_t kHeartbeat = 0;
constexpr int kPollMs = 10;
constexpr size_t kRequestLog = 1024;

constexpr uint16_t kDiscoveryRequestPort = 9888;
constexpr uint16_t kDiscoveryReplyPort = 9889;
constexpr const char* kDiscoveryGroup = "232.2.2.2";
constexpr size_t kDiscoverySize = 16;

// After a restart the LOAD answer goes out once the host's synchronising
// address queries have stopped for this long (longer than the host's pause
// before it queries again, or the answer would fall into its handshake), or
// (TCP) this long after the connection when none come.
constexpr auto kLinkUpQuiet = std::chrono::milliseconds(150);
constexpr auto kLinkUpFallback = std::chrono::milliseconds(500);
// A USB device that never comes back stays unplugged this long.
constexpr uint32_t kForeverMs = std::numeric_limits<uint32_t>::max();

enum class SessionKind { kTcp, kChannel, kPty };

struct LoaderKnobName {
  const char* name;
  std::atomic<uint32_t> LoaderKnobs::*counter;
};
constexpr LoaderKnobName kLoaderCounters[] = {
    {"drop-data-ack", &LoaderKnobs::dropNthDataAck},
    {"wrong-count", &LoaderKnobs::wrongCountNth},
    {"wrong-count-repeat", &LoaderKnobs::wrongCountRepeat},
    {"wrong-sums", &LoaderKnobs::wrongSums},
    {"refuse-prepares", &LoaderKnobs::refusePrepares},
    {"close-at-data", &LoaderKnobs::closeAtDataPacket},
    {"reply-delay-ms", &LoaderKnobs::replyDelayMs},
};

void NameThread(const char* name) { pthread_setname_np(pthread_self(), name); }

// Closes a TCP connection with a reset, as a device that reboots does.
void ResetClose(int fd) {
  const linger now{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
  close(fd);
}

bool WriteAll(int fd, const uint8_t* bytes, size_t length) {
  while (length > 0) {
    const ssize_t sent = write(fd, bytes, length);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd waiter{fd, POLLOUT, 0};
        poll(&waiter, 1, 100);
        continue;
      }
      return false;
    }
    bytes += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

std::vector<in_addr> NonLoopbackInterfaces() {
  std::vector<in_addr> found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  for (ifaddrs* at = list; at; at = at->ifa_next) {
    if (!at->ifa_addr || at->ifa_addr->sa_family != AF_INET) continue;
    const in_addr address = reinterpret_cast<const sockaddr_in*>(at->ifa_addr)->sin_addr;
    if (address.s_addr != htonl(INADDR_LOOPBACK)) found.push_back(address);
  }
  freeifaddrs(list);
  return found;
}

// The first IPv4 address of an interface, or 0.0.0.0.
in_addr InterfaceAddress(unsigned index) {
  in_addr found{};
  char name[IF_NAMESIZE] = {};
  if (index == 0 || !if_indextoname(index, name)) return found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  for (ifaddrs* at = list; at; at = at->ifa_next) {
    if (!at->ifa_addr || at->ifa_addr->sa_family != AF_INET || std::strcmp(at->ifa_name, name) != 0) continue;
    found = reinterpret_cast<const sockaddr_in*>(at->ifa_addr)->sin_addr;
    break;
  }
  freeifaddrs(list);
  return found;
}

}  // namespace

struct VirtualModule::Impl {
  Options options;
  Knobs knobs;
  Counters counters;
  std::atomic<bool> stopping{false};
  std::atomic<uint32_t> resetGeneration{0};
  std::atomic<uint32_t> outSequence{0};

  int listenFd = -1;
  std::atomic<uint16_t> tcpPort{0};  // read by TcpPort() while the listener reopens
  int udpFd = -1;
  int ptyMaster = -1;
  int ptySlave = -1;
  std::string ptyPath;

  std::thread acceptThread;
  std::thread discoveryThread;
  std::thread ptyThread;
  struct Session {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::mutex sessionsLock;
  std::list<Session> sessions;  // guarded by sessionsLock
  std::mutex restartLock;
  RestartListener restartListener;  // guarded by restartLock

  // Caller holds sessionsLock. Sessions that ended are joined here, so a
  // long run does not pile them up.
  void ReapSessionsLocked() {
    for (auto it = sessions.begin(); it != sessions.end();) {
      if (*it->done) {
        it->thread.join();
        it = sessions.erase(it);
      } else {
        ++it;
      }
    }
  }

  void StartSession(int fd, const char* threadName, SessionKind kind) {
    ++counters.connections;
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard<std::mutex> guard(sessionsLock);
    ReapSessionsLocked();
    sessions.push_back(Session{std::thread([this, fd, done, threadName, kind] {
                                 NameThread(threadName);
                                 Serve(fd, false, kind);
                                 *done = true;
                               }),
                               done});
  }

  // Module states, one per configured module, in configuration order.
  std::mutex stateLock;
  std::vector<ModuleState> states;  // guarded by stateLock (the router's address is fixed)

  uint8_t routerAddress() const { return options.modules.front().address; }

  ModuleState* Find(uint8_t address) {
    for (ModuleState& m : states)
      if (m.identity.address == address) return &m;
    return nullptr;
  }

  mutable std::mutex testLock;
  VirtualModule::Interceptor interceptor;  // guarded by testLock
  std::deque<Packet> requests;             // guarded by testLock

  // Lets a test's interceptor answer; true when it did.
  bool Intercept(const Packet& packet, std::vector<Packet>& replies) {
    VirtualModule::Interceptor copy;
    {
      std::lock_guard<std::mutex> guard(testLock);
      requests.push_back(packet);
      if (requests.size() > kRequestLog) requests.pop_front();
      copy = interceptor;
    }
    return copy && copy(packet, replies);
  }

  // What a loader request asks of the transport.
  struct LoaderStep {
    LinkEvent event = LinkEvent::kNone;
    bool comesBack = true;
    uint32_t delayMs = 0;
    uint8_t module = 0;  // the address whose loader asked
  };

  // The loader runs outside the state lock (it has its own); a reboot then
  // takes the new identity under it.
  void HandleLoader(const Packet& packet, std::vector<Packet>& replies, LoaderStep& step) {
    std::shared_ptr<LoaderModel> loader;
    {
      std::lock_guard<std::mutex> guard(stateLock);
      if (ModuleState* module = Find(packet.address)) loader = module->loader;
    }
    if (!loader) return;
    step.module = packet.address;
    LoaderOutcome out = loader->Handle(packet.data);
    for (LoaderBytes& reply : out.replies) replies.push_back(Packet{packet.address, std::move(reply)});
    step.event = out.event;
    step.comesBack = out.comesBack;
    step.delayMs = out.delayMs;
    if (out.event == LinkEvent::kReboot && out.identity) {
      std::lock_guard<std::mutex> guard(stateLock);
      if (ModuleState* module = Find(packet.address)) TakeIdentity(*module, *out.identity);
    }
  }

  static void TakeIdentity(ModuleState& module, const FirmwareIdentity& firmware) {
    ModuleIdentity& i = module.identity;
    i.build = firmware.build;
    i.model = firmware.model;
    i.versionMajor = firmware.versionMajor;
    i.versionMinor = firmware.versionMinor;
    i.versionPatch = firmware.versionPatch;
    // The identity options as a module built with it would hold them:
    // version (7), model (8) and build (43).
    const ModuleState fresh(i);
    for (uint8_t option : {uint8_t{7}, uint8_t{8}, uint8_t{43}})
      module.options[option] = fresh.options.at(option);
    module.bootTime = std::chrono::steady_clock::now();
  }

  void Handle(const Packet& packet, std::vector<Packet>& replies, Outcome& outcome, LoaderStep& step) {
    ++counters.packetsIn;
    if (knobs.silent) return;
    const bool heartbeatAnswer = packet.data.size() == 2 && packet.data[0] == kHeartbeat;
    if (!heartbeatAnswer && Intercept(packet, replies)) return;
    if (packet.address == kAddressQuery && packet.data.empty()) {
      replies.push_back(Packet{routerAddress(), {}});
      return;
    }
    if (packet.address == kForceRoute && packet.data.size() == 1) {
      counters.forceRoute = packet.data[0];
      return;
    }
    if (packet.data.empty()) return;
    if (packet.data.size() == 2 && packet.data[0] == kHeartbeat) {
      if (!knobs.heartbeatsOff && (packet.data[1] == 2 || packet.data[1] == 3)) ++counters.heartbeatAnswers;
      return;
    }
    if (packet.data[0] == LoaderModel::kCommand) return HandleLoader(packet, replies, step);
    const HandlerFn handle = FindHandler(packet.data[0]);
    std::lock_guard<std::mutex> guard(stateLock);
    ModuleState* module = Find(packet.address);
    if (!module || !handle) return;
    Request request{*module, states.front(), packet, replies, outcome};
    handle(request);
  }

  void CollectSamples(std::vector<Packet>& out) {
    std::lock_guard<std::mutex> guard(stateLock);
    for (ModuleState& m : states) CollectStreamSamples(m, options.streamIntervalMs, out);
  }

  // Writes one packet with the misbehaviour knobs applied.
  bool Send(int fd, bool framed, const Packet& packet) {
    const uint32_t n = ++outSequence;
    if (n == knobs.dropNthReply) return true;
    Bytes wire = framed ? EncodeFrame(packet) : EncodePacket(packet);
    if (n == knobs.corruptNthReply) wire[wire.size() > 2 ? wire.size() - 2 : 0] ^= 0xFF;
    ++counters.packetsOut;
    return WriteAll(fd, wire.data(), wire.size());
  }

  // After a restart, the first link that comes up gets the LOAD answer of
  // whichever module's loader restarted.
  void SendLinkUp(int fd, bool framed) {
    std::vector<std::pair<uint8_t, std::shared_ptr<LoaderModel>>> loaders;
    {
      std::lock_guard<std::mutex> guard(stateLock);
      for (ModuleState& m : states) loaders.emplace_back(m.identity.address, m.loader);
    }
    for (auto& [address, loader] : loaders)
      for (LoaderBytes& bytes : loader->OnLinkUp()) Send(fd, framed, Packet{address, std::move(bytes)});
  }

  // Carries out what a loader asked of the link; false when the session ends.
  // A module on the router's bus restarts without taking the router's link
  // down: it answers LOAD on the same link once it is back (*linkUpAt).
  bool LinkEventDone(const LoaderStep& step, SessionKind kind, Clock::time_point* linkUpAt) {
    if (step.event == LinkEvent::kNone) return true;
    if (step.module != routerAddress()) {
      const uint32_t downMs = step.event == LinkEvent::kRestart ? options.loaderRestartMs : 0;
      if (step.comesBack) *linkUpAt = Clock::now() + std::chrono::milliseconds(downMs);
      return step.event != LinkEvent::kClose;
    }
    if (kind == SessionKind::kPty) return true;  // a line that stays; the host resynchronises
    if (step.event == LinkEvent::kClose) return false;
    const uint32_t downMs =
        step.event == LinkEvent::kRestart ? options.loaderRestartMs : options.loaderRebootMs;
    if (kind == SessionKind::kChannel) {
      // The transport unplugs the device, which ends this session.
      Restart(step.comesBack ? downMs : kForeverMs);
      return false;
    }
    TakeListenerDown(downMs, !step.comesBack);
    ++resetGeneration;
    return false;
  }

  bool Restart(uint32_t downMs) {
    RestartListener listener;
    {
      std::lock_guard<std::mutex> guard(restartLock);
      listener = restartListener;
    }
    if (!listener) return false;
    listener(downMs);
    return true;
  }

  // Serves one byte channel until stopped, reset or closed by the peer.
  void Serve(int fd, bool framed, SessionKind kind) {
    const bool isSocket = kind != SessionKind::kPty;
    PlainReader plain;
    FrameReader frames;
    const uint32_t generation = resetGeneration;
    uint32_t received = 0;
    const auto started = Clock::now();
    auto nextBeat = started + std::chrono::milliseconds(options.heartbeatMs);
    int addressQueries = 0;
    auto lastQuery = started;
    bool linkUpSent = false;
    auto arrival = started;
    bool busLinkUpPending = false;  // a bus module comes back from its restart at busLinkUpAt
    Clock::time_point busLinkUpAt = started;
    std::vector<Packet> replies;
    std::vector<Packet> samples;
    bool open = true;
    while (open && !stopping) {
      if (isSocket && generation != resetGeneration) break;
      const auto now = Clock::now();
      if (!linkUpSent && !knobs.silent &&
          ((addressQueries > 0 && now - lastQuery >= kLinkUpQuiet) ||
           (kind == SessionKind::kTcp && addressQueries == 0 && now - started >= kLinkUpFallback))) {
        linkUpSent = true;
        SendLinkUp(fd, framed);
      }
      if (busLinkUpPending && now >= busLinkUpAt) {
        busLinkUpPending = false;
        SendLinkUp(fd, framed);
      }
      if (options.heartbeatMs && !knobs.heartbeatsOff && !knobs.silent && now >= nextBeat) {
        nextBeat = now + std::chrono::milliseconds(options.heartbeatMs);
        ++counters.heartbeatsSent;
        if (!Send(fd, framed, Packet{routerAddress(), {kHeartbeat, 0}})) break;
      }
      if (!knobs.silent) {
        samples.clear();
        CollectSamples(samples);
        for (const Packet& sample : samples) open = open && Send(fd, framed, sample);
        if (!open) break;
      }
      pollfd waiter{fd, POLLIN, 0};
      if (poll(&waiter, 1, kPollMs) <= 0) continue;
      uint8_t buffer[4096];
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got == 0 && isSocket) break;  // the host closed
      if (got <= 0) {
        if (got < 0 && errno != EAGAIN && errno != EINTR && isSocket) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        continue;
      }
      if (const uint32_t rate = knobs.inBytesPerSecond) {
        // The bytes arrive no faster than the emulated link carries them.
        arrival = std::max(arrival, Clock::now()) +
                  std::chrono::nanoseconds(static_cast<int64_t>(got) * 1000000000 / rate);
        std::this_thread::sleep_until(arrival);
      }
      for (ssize_t i = 0; i < got && open; ++i) {
        std::optional<Packet> packet = framed ? frames.Feed(buffer[i]) : plain.Feed(buffer[i]);
        counters.badFrames = frames.badFrames();
        if (!packet) continue;
        if (packet->address == kAddressQuery && packet->data.empty()) {
          ++addressQueries;
          lastQuery = Clock::now();
        }
        replies.clear();
        Outcome outcome;
        LoaderStep step;
        Handle(*packet, replies, outcome, step);
        ++received;
        const uint32_t delay = std::max(knobs.replyDelayMs.load(), step.delayMs);
        if (delay && !replies.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        if (const uint32_t frameUs = knobs.replyFrameUs; frameUs && !replies.empty()) {
          const auto frame = std::chrono::microseconds(frameUs);
          const auto since = Clock::now() - started;
          std::this_thread::sleep_until(started + (since / frame + 1) * frame);
        }
        for (const Packet& reply : replies) open = open && Send(fd, framed, reply);
        if (isSocket && outcome.dropConnection) open = false;
        const uint32_t closeAfter = knobs.closeAfterPackets;
        if (isSocket && closeAfter && received >= closeAfter) open = false;
        Clock::time_point linkUpAt{};
        if (open && !LinkEventDone(step, kind, &linkUpAt)) open = false;
        if (linkUpAt != Clock::time_point{}) {
          busLinkUpPending = true;
          busLinkUpAt = linkUpAt;
        }
      }
    }
    if (isSocket) ResetClose(fd);
  }

  // The TCP listener goes away while the device restarts; the accept thread
  // closes and reopens it. Waits (briefly) until it is closed, so that a
  // host reconnecting at once finds nobody listening.
  std::mutex listenerLock;
  std::condition_variable listenerChanged;
  bool listenerDownWanted = false;  // guarded by listenerLock, as the three below
  bool listenerClosed = false;
  bool listenerNever = false;
  Clock::time_point listenerUpAt{};

  void TakeListenerDown(uint32_t downMs, bool never) {
    std::unique_lock<std::mutex> guard(listenerLock);
    if (!acceptThread.joinable()) return;
    listenerDownWanted = true;
    listenerNever = listenerNever || never;
    listenerUpAt = Clock::now() + std::chrono::milliseconds(downMs);
    listenerChanged.notify_all();
    listenerChanged.wait_for(guard, std::chrono::milliseconds(500),
                             [this] { return !listenerDownWanted || stopping; });
  }

  // Accept thread: closes the listener when asked, reopens it on the same
  // port when due; true while it listens.
  bool ListenerUp() {
    std::unique_lock<std::mutex> guard(listenerLock);
    if (listenerDownWanted) {
      if (listenFd >= 0) close(listenFd);
      listenFd = -1;
      listenerDownWanted = false;
      listenerClosed = true;
      listenerChanged.notify_all();
    }
    if (!listenerClosed) return true;
    if (listenerNever || Clock::now() < listenerUpAt) {
      listenerChanged.wait_for(guard, std::chrono::milliseconds(kPollMs));
      return false;
    }
    if (!OpenTcp(tcpPort)) {
      listenerChanged.wait_for(guard, std::chrono::milliseconds(50));
      return false;
    }
    listenerClosed = false;
    return true;
  }

  void AcceptLoop() {
    NameThread("vmodAccept");
    while (!stopping) {
      if (!ListenerUp()) continue;
      pollfd waiter{listenFd, POLLIN, 0};
      if (poll(&waiter, 1, 50) <= 0) continue;
      const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      const int on = 1;
      setsockopt(fd, IPPROTO_TCP, 1 /* TCP_NODELAY */, &on, sizeof on);
      StartSession(fd, "vmodSession", SessionKind::kTcp);
    }
  }

  void DiscoveryLoop() {
    NameThread("vmodDiscovery");
    while (!stopping) {
      pollfd waiter{udpFd, POLLIN, 0};
      if (poll(&waiter, 1, 50) <= 0) continue;
      uint8_t request[64];
      sockaddr_in from{};
      alignas(cmsghdr) uint8_t control[256];
      iovec io{request, sizeof request};
      msghdr message{};
      message.msg_name = &from;
      message.msg_namelen = sizeof from;
      message.msg_iov = &io;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      const ssize_t got = recvmsg(udpFd, &message, 0);
      if (got != static_cast<ssize_t>(kDiscoverySize) || request[0] != 1) continue;
      unsigned arrivedOn = 0;
      for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
        in_pktinfo info{};
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        arrivedOn = static_cast<unsigned>(info.ipi_ifindex);
      }
      const in_addr local = InterfaceAddress(arrivedOn);
      if (knobs.silent) continue;
      uint8_t answer[kDiscoverySize] = {};
      answer[1] = routerAddress();
      answer[2] = static_cast<uint8_t>(tcpPort);
      answer[3] = static_cast<uint8_t>(tcpPort >> 8);
      {
        // The model follows the firmware a REBOOT installed.
        std::lock_guard<std::mutex> guard(stateLock);
        const ModuleIdentity& router = states.front().identity;
        for (int i = 0; i < 4; ++i) answer[4 + i] = static_cast<uint8_t>(router.serial >> (8 * i));
        answer[12] = router.model;
      }
      // Answer from the address the request came in on: that is the one
      // the host will connect to.
      const int out = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      if (out < 0) continue;
      sockaddr_in source{};
      source.sin_family = AF_INET;
      source.sin_addr = local;
      bind(out, reinterpret_cast<const sockaddr*>(&source), sizeof source);
      from.sin_port = htons(kDiscoveryReplyPort);
      sendto(out, answer, sizeof answer, 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
      close(out);
    }
  }

  bool OpenTcp(uint16_t port) {
    listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0) return false;
    const int on = 1;
    setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(listenFd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        listen(listenFd, 8) != 0) {
      std::fprintf(stderr, "vmodule: cannot listen on TCP port %u: %s\n", port, std::strerror(errno));
      close(listenFd);
      listenFd = -1;
      return false;
    }
    socklen_t length = sizeof local;
    getsockname(listenFd, reinterpret_cast<sockaddr*>(&local), &length);
    tcpPort = ntohs(local.sin_port);
    return true;
  }

  bool OpenDiscovery() {
    udpFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (udpFd < 0) return false;
    const int on = 1;
    setsockopt(udpFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(udpFd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kDiscoveryRequestPort);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(udpFd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      std::fprintf(stderr, "vmodule: cannot bind UDP port %u: %s\n", kDiscoveryRequestPort,
                   std::strerror(errno));
      return false;
    }
    std::vector<in_addr> interfaces;
    for (const std::string& text : options.discoveryInterfaces) {
      in_addr address{};
      if (inet_pton(AF_INET, text.c_str(), &address) == 1) interfaces.push_back(address);
    }
    if (options.discoveryInterfaces.empty()) interfaces = NonLoopbackInterfaces();
    int joined = 0;
    for (const in_addr& address : interfaces) {
      ip_mreq membership{};
      inet_pton(AF_INET, kDiscoveryGroup, &membership.imr_multiaddr);
      membership.imr_interface = address;
      if (setsockopt(udpFd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0) ++joined;
    }
    if (joined == 0) std::fprintf(stderr, "vmodule: discovery joined no interface\n");
    return true;
  }

  bool OpenPty() {
    ptyMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ptyMaster < 0 || grantpt(ptyMaster) != 0 || unlockpt(ptyMaster) != 0) return false;
    char name[128];
    if (ptsname_r(ptyMaster, name, sizeof name) != 0) return false;
    ptyPath = name;
    // Holding the terminal side open keeps the line up between host sessions.
    ptySlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ptySlave < 0) return false;
    termios raw{};
    tcgetattr(ptySlave, &raw);
    cfmakeraw(&raw);
    tcsetattr(ptySlave, TCSANOW, &raw);
    unlink(options.ptyLink.c_str());
    if (symlink(name, options.ptyLink.c_str()) != 0) {
      std::fprintf(stderr, "vmodule: cannot link %s: %s\n", options.ptyLink.c_str(), std::strerror(errno));
      return false;
    }
    return true;
  }

  void CloseAll() {
    if (listenFd >= 0) close(listenFd);
    if (udpFd >= 0) close(udpFd);
    if (ptySlave >= 0) close(ptySlave);
    if (ptyMaster >= 0) close(ptyMaster);
    listenFd = udpFd = ptySlave = ptyMaster = -1;
    if (!ptyPath.empty()) unlink(options.ptyLink.c_str());
    ptyPath.clear();
  }
};

VirtualModule::VirtualModule(Options options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  if (impl_->options.modules.empty()) impl_->options.modules.emplace_back();
  const uint8_t router = impl_->options.modules.front().address;
  for (ModuleIdentity& identity : impl_->options.modules) {
    if (identity.routerAddress == 0) identity.routerAddress = router;
    impl_->states.emplace_back(identity);
    ModuleState& state = impl_->states.back();
    LoaderSettings settings;
    settings.blockSize = impl_->options.loaderBlockSize;
    settings.pooledPackets = (identity.protocolFeatures & LoaderModel::kPooledPacketsFeature) != 0;
    if (!impl_->options.flashOut.empty())
      settings.flashOut = impl_->states.size() == 1
                              ? impl_->options.flashOut
                              : impl_->options.flashOut + "." + std::to_string(identity.address);
    for (const auto& [name, value] : impl_->options.loaderKnobs)
      ApplyLoaderKnob(name, value, &settings, nullptr);
    state.loader = std::make_shared<LoaderModel>(settings);
    for (const auto& [name, value] : impl_->options.loaderKnobs)
      ApplyLoaderKnob(name, value, nullptr, &state.loader->knobs());
    uint32_t& features = state.options[45];
    features = (features & ~LoaderModel::kPooledPacketsFeature) | state.loader->ProtocolFeatures();
  }
  // The modules on the router's bus acknowledge I2C writes to their
  // addresses, as the bus scan expects.
  for (size_t i = 1; i < impl_->states.size(); ++i)
    impl_->states.front().i2c[impl_->states[i].identity.address];
}

VirtualModule::~VirtualModule() { Stop(); }

bool VirtualModule::Start() {
  Impl& m = *impl_;
  m.stopping = false;
  if (m.options.tcpPort >= 0) {
    if (!m.OpenTcp(static_cast<uint16_t>(m.options.tcpPort)) || (m.options.discovery && !m.OpenDiscovery())) {
      Stop();
      return false;
    }
    m.acceptThread = std::thread([&m] { m.AcceptLoop(); });
    if (m.udpFd >= 0) m.discoveryThread = std::thread([&m] { m.DiscoveryLoop(); });
  }
  if (!m.options.ptyLink.empty()) {
    if (!m.OpenPty()) {
      Stop();
      return false;
    }
    m.ptyThread = std::thread([&m] {
      NameThread("vmodPty");
      m.Serve(m.ptyMaster, true, SessionKind::kPty);
    });
  }
  return true;
}

void VirtualModule::Stop() {
  Impl& m = *impl_;
  m.stopping = true;
  if (m.acceptThread.joinable()) m.acceptThread.join();
  if (m.discoveryThread.joinable()) m.discoveryThread.join();
  if (m.ptyThread.joinable()) m.ptyThread.join();
  std::list<Impl::Session> sessions;
  {
    std::lock_guard<std::mutex> guard(m.sessionsLock);
    sessions.swap(m.sessions);
  }
  for (Impl::Session& session : sessions) session.thread.join();
  m.CloseAll();
  {
    std::lock_guard<std::mutex> guard(m.listenerLock);
    m.listenerDownWanted = m.listenerClosed = m.listenerNever = false;
  }
  if (!m.options.flashOut.empty()) {
    std::lock_guard<std::mutex> guard(m.stateLock);
    for (ModuleState& state : m.states) {
      std::string error;
      if (!state.loader->SaveFlash(&error)) std::fprintf(stderr, "vmodule: %s\n", error.c_str());
    }
  }
  m.tcpPort = 0;
}

uint16_t VirtualModule::TcpPort() const { return impl_->tcpPort; }
std::string VirtualModule::PtyPath() const { return impl_->ptyPath; }
void VirtualModule::ResetConnections() { ++impl_->resetGeneration; }

int VirtualModule::OpenChannel() {
  int ends[2] = {-1, -1};
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return -1;
  impl_->StartSession(ends[0], "vmodChannel", SessionKind::kChannel);
  return ends[1];
}

void VirtualModule::SetRestartListener(RestartListener listener) {
  std::lock_guard<std::mutex> guard(impl_->restartLock);
  impl_->restartListener = std::move(listener);
}

bool VirtualModule::Restart(uint32_t downMs) { return impl_->Restart(downMs); }
Knobs& VirtualModule::knobs() { return impl_->knobs; }

LoaderModel& VirtualModule::loader(size_t module) {
  std::lock_guard<std::mutex> guard(impl_->stateLock);
  return *impl_->states.at(module).loader;
}

bool ApplyLoaderKnob(const std::string& name, uint32_t value, LoaderSettings* settings, LoaderKnobs* knobs) {
  for (const LoaderKnobName& k : kLoaderCounters) {
    if (name != k.name) continue;
    if (knobs) (knobs->*k.counter) = value;
    return true;
  }
  if (name == "refuse-status") {
    if (knobs) knobs->refuseStatus = static_cast<uint8_t>(value);
  } else if (name == "never-back-after-load") {
    if (knobs) knobs->neverBackAfterLoad = value != 0;
  } else if (name == "never-back-after-reboot") {
    if (knobs) knobs->neverBackAfterReboot = value != 0;
  } else if (name == "uei-data") {
    if (settings) settings->ueiData = value != 0;
  } else if (name == "pooled-packets") {
    if (settings) settings->pooledPackets = value != 0;
  } else if (name == "answer-load-early") {
    if (settings) settings->answerLoadBeforeRestart = value != 0;
  } else {
    return false;
  }
  return true;
}

bool IsLoaderKnob(const std::string& name) { return ApplyLoaderKnob(name, 0, nullptr, nullptr); }

void VirtualModule::SetInterceptor(Interceptor interceptor) {
  std::lock_guard<std::mutex> guard(impl_->testLock);
  impl_->interceptor = std::move(interceptor);
}

std::vector<Packet> VirtualModule::Requests() const {
  std::lock_guard<std::mutex> guard(impl_->testLock);
  return {impl_->requests.begin(), impl_->requests.end()};
}

void VirtualModule::ClearRequests() {
  std::lock_guard<std::mutex> guard(impl_->testLock);
  impl_->requests.clear();
}
const Counters& VirtualModule::counters() const { return impl_->counters; }

bool ParseVersion(const std::string& text, ModuleIdentity* identity) {
  unsigned major = 0, minor = 0, patch = 0;
  char extra = 0;
  if (std::sscanf(text.c_str(), "%u.%u.%u%c", &major, &minor, &patch, &extra) != 3) return false;
  if (major > 255 || minor > 255 || patch > 255) return false;
  identity->versionMajor = static_cast<uint8_t>(major);
  identity->versionMinor = static_cast<uint8_t>(minor);
  identity->versionPatch = static_cast<uint8_t>(patch);
  return true;
}

}  // namespace vmodule
