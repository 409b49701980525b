// vmodule: a virtual module of the family, served over TCP (with UDP
// discovery) and/or a pseudo-terminal until SIGTERM or SIGINT.
#include <csignal>
#include <cstdio>

#include "sim/vmodule/Config.h"
#include "sim/vmodule/VirtualModule.h"

int main(int argc, char** argv) {
  vmodule::Options options;
  bool help = false;
  std::string error;
  if (!vmodule::ParseArguments(argc, argv, &options, &help, &error)) {
    std::fprintf(stderr, "vmodule: %s\n%s", error.c_str(), vmodule::kUsage);
    return 2;
  }
  if (help) {
    std::fputs(vmodule::kUsage, stdout);
    return 0;
  }
  // Block the stop signals in every thread; the main thread waits for them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  vmodule::VirtualModule module(options);
  if (!module.Start()) return 1;
  if (module.TcpPort()) std::printf("tcp %u\n", module.TcpPort());
  if (!module.PtyPath().empty()) std::printf("pty %s\n", module.PtyPath().c_str());
  std::printf("ready\n");
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stopSignals, &signal);
  module.Stop();
  return 0;
}
