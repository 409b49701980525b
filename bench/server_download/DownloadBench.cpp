// Downloads a 2 MiB BIRD file from the virtual update server on loopback with
// `updater -G`, and the same file with curl piped into `base64 -d`, in the
// same run. Prints the median wall times and their ratio; the goal is that
// the updater takes at most 1.3 times as long.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "sim/birdwriter/BirdWriter.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kImageBytes = 2 << 20;
constexpr int kRuns = 9;
constexpr double kLimit = 1.3;
const char* const kSerial = "0000ABCD";

// Runs argv with its output discarded; its exit status, or -1.
int Run(const std::vector<std::string>& args) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

template <typename F>
double Seconds(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
  const fs::path dir = fs::temp_directory_path() / ("bench_download." + std::to_string(getpid()));
  fs::create_directories(dir / "catalog" / kSerial);
  birdwriter::Bytes image(kImageBytes);
  std::mt19937 rng(5);
  for (auto& b : image) b = static_cast<uint8_t>(rng());
  birdwriter::Writer writer;
  writer.AddDescriptor({7, "1.2.3", 0xABCD, "ALPHA"}).AddFirmware(0x1000, image);
  const birdwriter::Bytes file = writer.File();
  std::string error;
  if (!birdwriter::WriteFile((dir / "catalog" / kSerial / "7.bird").string(), file, &error)) {
    fprintf(stderr, "bench_download: %s\n", error.c_str());
    return 1;
  }
  FILE* latest = fopen((dir / "catalog" / kSerial / "latest").c_str(), "w");
  fputs("7\nFW-7\n", latest);
  fclose(latest);

  // The server, and its URL from its first line.
  int out[2];
  if (pipe(out) != 0) return 1;
  const pid_t server = fork();
  if (server == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    const std::string catalog = (dir / "catalog").string();
    execl(VSERVER_BIN, VSERVER_BIN, "--catalog", catalog.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  FILE* serverOut = fdopen(out[0], "r");
  char line[512] = "";
  if (!fgets(line, sizeof line, serverOut) || strncmp(line, "listening on ", 13) != 0) {
    fprintf(stderr, "bench_download: vserver did not start\n");
    kill(server, SIGTERM);
    return 1;
  }
  std::string url = line + 13;
  url.erase(url.find_last_not_of("\r\n") + 1);

  const std::string fileUrl = url + "?bld=7&fw=FW-7&no_cal=false&op=bird&sn=" + kSerial + "&";
  const std::string curlOut = (dir / "curl.bird").string();
  const std::string pipeline =
      "curl -sS --fail '" + fileUrl + "' | sed -n 2p | base64 -d > '" + curlOut + "'";
  std::vector<double> updaterTimes, curlTimes;
  bool ok = true;
  for (int i = 0; i < kRuns; ++i) {
    const std::string store = (dir / ("store" + std::to_string(i))).string();
    updaterTimes.push_back(
        Seconds([&] { ok = ok && Run({UPDATER_BIN, "-G", "-d", kSerial, "-i", store, "-u", url}) == 0; }));
    curlTimes.push_back(Seconds([&] { ok = ok && Run({"/bin/sh", "-c", pipeline}) == 0; }));
    ok = ok && fs::file_size(store + "/updater/" + kSerial + "/7.bird") == file.size() &&
         fs::file_size(curlOut) == file.size();
  }
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  fclose(serverOut);
  fs::remove_all(dir);
  if (!ok) {
    fprintf(stderr, "bench_download: a download failed\n");
    return 1;
  }

  const double updater = Median(updaterTimes), curl = Median(curlTimes);
  printf("BIRD file: %zu bytes (%zu bytes of base64)\n", file.size(), (file.size() + 2) / 3 * 4);
  printf("updater -G (ping, latest build, build list, file): median %.1f ms of %d runs\n", updater * 1e3, kRuns);
  printf("curl | base64 -d (file only):                       median %.1f ms of %d runs\n", curl * 1e3, kRuns);
  printf("ratio updater/curl: %.2f (goal: at most %.1f) %s\n", updater / curl, kLimit,
         updater / curl <= kLimit ? "within goal" : "OVER GOAL");
  return 0;
}
