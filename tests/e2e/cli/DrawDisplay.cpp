// Drives the console display from the command line, so tests can see what it
// draws on a terminal and on redirected output.
//   draw_display progress <fraction> [label] | spinner <count> [label]
//                | end | info <text> | error <text>  (repeatable)
#include <cstdlib>
#include <cstring>

#include "app/CLI_Display.h"

int main(int argc, char* argv[]) {
  CLI_Display display;
  for (int i = 1; i < argc; ++i) {
    const char* verb = argv[i];
    const char* arg = i + 1 < argc ? argv[i + 1] : "";
    const char* label = (i + 2 < argc && strcmp(argv[i + 2], "-") != 0) ? argv[i + 2] : nullptr;
    if (strcmp(verb, "progress") == 0) {
      display.update_progress(atof(arg), label);
      i += 2;
    } else if (strcmp(verb, "spinner") == 0) {
      for (int n = atoi(arg); n > 0; --n) display.update_spinner(true, label);
      i += 2;
    } else if (strcmp(verb, "end") == 0) {
      display.display_progress(false);
    } else if (strcmp(verb, "stop") == 0) {
      display.update_spinner(false, nullptr);
    } else if (strcmp(verb, "info") == 0) {
      display.info_message(arg);
      ++i;
    } else if (strcmp(verb, "error") == 0) {
      display.error_message(arg);
      ++i;
    }
  }
  return 0;
}
