#include "app/CLI_Display.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char kBar[] = "=====================================================================";
constexpr int kBarWidth = sizeof kBar - 1;  // 69
constexpr int kClearWidth = 88;
constexpr const char* kFrames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};

// Redirected output must hold no drawing; stdout does not change during a run.
bool DrawingAllowed() {
  static const bool terminal = isatty(fileno(stdout)) == 1;
  return terminal;
}

void ClearLine() { printf("\r%*s\r", kClearWidth, " "); }

}  // namespace

CLI_Display::CLI_Display() {
  // In-place drawing with "\r" must show at once.
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool start) {
  if (!DrawingAllowed() || start) return;
  ClearLine();
}

void CLI_Display::update_progress(double fraction, const char* label) {
  if (!DrawingAllowed()) return;
  // Out-of-range fractions would give a negative precision (the whole bar) or
  // an overlong line; a label too long for the line keeps a one-character bar.
  if (!(fraction >= 0.0)) fraction = 0.0;
  if (fraction > 1.0) fraction = 1.0;
  int width = kBarWidth;
  if (label != nullptr) {
    size_t labelLength = strlen(label);
    width =
        labelLength + 4 >= static_cast<size_t>(kBarWidth) ? 1 : kBarWidth - static_cast<int>(labelLength) - 4;
  }
  int filled = static_cast<int>(width * fraction);
  int percent = static_cast<int>(fraction * 100);
  if (label == nullptr)
    printf("\r[%.*s>%*s] (%3d%% ) ", filled, kBar, width - filled - 1, "", percent);
  else
    printf("\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar, width - filled - 1, "", percent);
}

void CLI_Display::update_spinner(bool active, const char* label) {
  // One frame position for every display of the process.
  static uint8_t count = 0;
  if (!DrawingAllowed()) return;
  if (!active) {
    ClearLine();
    return;
  }
  if (label == nullptr)
    printf("\r %s      \r", kFrames[count]);
  else
    printf("\r (%s) %s      \r", label, kFrames[count]);
  count = static_cast<uint8_t>((count + 1) % 8);
}

void CLI_Display::info_message(const char* text) { printf("%s\n", text); }

void CLI_Display::error_message(const char* text) { fprintf(stderr, "%s\n", text); }
