// vserver: the virtual update server as a program (see sim/README.md).
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/vserver/VServer.h"

namespace {

void Usage(FILE* to) {
  fprintf(to,
          "usage: vserver --catalog DIR [--port N] [--host ADDR] [--https --cert FILE --key FILE]\n"
          "               [--fault OP:KIND[=ARG]]... [--canned OP:FILE[:STATUS]]... [--control] [--verbose]\n"
          "  OP   hi, qu, bird, builds, fix, ent_jwt or * (every operation)\n"
          "  KIND status[=N] verdict[=TEXT] nolines empty truncate nonbase64 slow[=MS] drop crlf\n");
}

bool ReadAll(const char* path, std::string& text) {
  FILE* f = fopen(path, "rb");
  if (!f) return false;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  const bool ok = !ferror(f);
  fclose(f);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  vserver::Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        fprintf(stderr, "vserver: %s needs a value\n", arg.c_str());
        exit(2);
      }
      return argv[++i];
    };
    if (arg == "--catalog") {
      options.catalog = value();
    } else if (arg == "--port") {
      char* end = nullptr;
      const char* text = value();
      const long port = strtol(text, &end, 10);
      if (*text == '\0' || *end != '\0' || port < 0 || port > 65535) {
        fprintf(stderr, "vserver: bad port '%s'\n", text);
        return 2;
      }
      options.port = static_cast<int>(port);
    } else if (arg == "--host") {
      options.host = value();
    } else if (arg == "--https") {
      options.https = true;
    } else if (arg == "--cert") {
      options.cert = value();
    } else if (arg == "--key") {
      options.key = value();
    } else if (arg == "--control") {
      options.control = true;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--fault") {
      const std::string spec = value();
      const size_t colon = spec.find(':');
      vserver::Fault fault;
      std::string error;
      if (colon == std::string::npos || colon == 0 ||
          !vserver::ParseFault(spec.substr(colon + 1), fault, error)) {
        fprintf(stderr, "vserver: bad --fault '%s'%s%s\n", spec.c_str(), error.empty() ? "" : ": ",
                error.c_str());
        return 2;
      }
      options.faults.emplace(spec.substr(0, colon), fault);
    } else if (arg == "--canned") {
      const std::string spec = value();
      const size_t colon = spec.find(':');
      const size_t colon2 = colon == std::string::npos ? colon : spec.find(':', colon + 1);
      vserver::Canned canned;
      const std::string file =
          spec.substr(colon + 1, colon2 == std::string::npos ? colon2 : colon2 - colon - 1);
      if (colon == std::string::npos || colon == 0 || !ReadAll(file.c_str(), canned.body)) {
        fprintf(stderr, "vserver: bad --canned '%s'\n", spec.c_str());
        return 2;
      }
      if (colon2 != std::string::npos) canned.status = atoi(spec.c_str() + colon2 + 1);
      options.canned[spec.substr(0, colon)] = canned;
    } else if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else {
      fprintf(stderr, "vserver: unknown argument '%s'\n", arg.c_str());
      Usage(stderr);
      return 2;
    }
  }
  if (options.catalog.empty() || (options.https && (options.cert.empty() || options.key.empty()))) {
    Usage(stderr);
    return 2;
  }

  // Every thread inherits this mask; the main thread takes the signals.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  vserver::Server server(options);
  std::string error;
  if (!server.Start(error)) {
    fprintf(stderr, "vserver: %s\n", error.c_str());
    return 1;
  }
  printf("listening on %s\n", server.URL().c_str());
  fflush(stdout);

  int signo = 0;
  sigwait(&stopSignals, &signo);
  server.Stop();
  return 0;
}
