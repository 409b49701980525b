// vusb-run --config FILE -- COMMAND ARGS...: runs COMMAND with the
// configured devices on an emulated USB bus and exits with its status.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/vusb/RunConfig.h"
#include "sim/vusb/UsbBus.h"

namespace {

constexpr const char* kUsage = "usage: vusb-run --config FILE -- COMMAND [ARGS...]\n";

int Usage(const char* message) {
  if (message) std::fprintf(stderr, "vusb-run: %s\n", message);
  std::fputs(kUsage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // The bus's own sysfs paths resolve only under the preload, here as in COMMAND.
  if (!vusb::RunUnderPreload(argv)) return 1;
  std::string configPath;
  int command = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--config" && i + 1 < argc) {
      configPath = argv[++i];
    } else if (arg == "--") {
      command = i + 1;
      break;
    } else {
      return Usage(("unknown argument " + arg).c_str());
    }
  }
  if (configPath.empty()) return Usage("--config FILE is required");
  if (command == 0 || command >= argc) return Usage("no command after --");

  std::vector<vusb::DeviceConfig> devices;
  std::string error;
  if (!vusb::LoadRunConfig(configPath, &devices, &error)) return Usage(error.c_str());

  vusb::UsbBus bus;
  for (const vusb::DeviceConfig& d : devices) {
    const int id = d.hasModule ? bus.AddModule(d.spec, d.module) : bus.Add(d.spec, nullptr);
    bus.knobs(id).claimBusy = d.busy;
  }

  const std::string preload = vusb::PreloadEnvironment();
  const pid_t child = fork();
  if (child < 0) {
    std::perror("vusb-run: fork");
    return 1;
  }
  if (child == 0) {
    setenv("LD_PRELOAD", preload.c_str(), 1);
    execvp(argv[command], argv + command);
    std::fprintf(stderr, "vusb-run: cannot run %s: %s\n", argv[command], std::strerror(errno));
    _exit(127);
  }
  // The bus must outlive the command; a signal to us goes on to it.
  signal(SIGINT, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}
