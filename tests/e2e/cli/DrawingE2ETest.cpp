#include <gtest/gtest.h>

#include <string>

#include "support/Subprocess.h"

namespace {

std::string Draw(std::vector<std::string> args, bool terminal) {
  RunOptions options;
  options.stdoutIsTerminal = terminal;
  RunResult r = RunProgram(DRAW_DISPLAY_BIN, args, options);
  EXPECT_EQ(r.exitStatus, 0);
  return r.out;
}

std::string Repeat(char c, int n) { return std::string(static_cast<size_t>(n), c); }

}  // namespace

TEST(ProgressBar, DrawnInPlaceOnATerminal) {
  EXPECT_EQ(Draw({"progress", "0.5", "-"}, true),
            "\r[" + Repeat('=', 34) + ">" + Repeat(' ', 34) + "] ( 50% ) ");
  EXPECT_EQ(Draw({"progress", "0.5", "abc"}, true),
            "\r (abc) [" + Repeat('=', 31) + ">" + Repeat(' ', 30) + "] ( 50% ) ");
  // At 100% the field width is -1: a left-aligned one-character field.
  EXPECT_EQ(Draw({"progress", "1.0", "-"}, true), "\r[" + Repeat('=', 69) + "> ] (100% ) ");
  EXPECT_EQ(Draw({"progress", "0", "-"}, true), "\r[>" + Repeat(' ', 68) + "] (  0% ) ");
  EXPECT_EQ(Draw({"end"}, true), "\r" + Repeat(' ', 88) + "\r");
}

TEST(ProgressBar, OutOfRangeInputStaysOnOneLine) {
  // A negative fraction would otherwise print the whole bar through a negative precision.
  EXPECT_EQ(Draw({"progress", "-0.5", "-"}, true), "\r[>" + Repeat(' ', 68) + "] (  0% ) ");
  EXPECT_EQ(Draw({"progress", "7", "-"}, true), "\r[" + Repeat('=', 69) + "> ] (100% ) ");
  std::string label(80, 'L');
  std::string out = Draw({"progress", "0.5", label}, true);
  EXPECT_EQ(out, "\r (" + label + ") [>] ( 50% ) ");
}

TEST(Spinner, FramesGrowShrinkAndContinue) {
  std::string expected;
  const char* frames[] = {".", "..", "...", "....", ".....", "....", "...", "..", ".", ".."};
  for (const char* f : frames) expected += std::string("\r ") + f + "      \r";
  EXPECT_EQ(Draw({"spinner", "10", "-"}, true), expected);
  // The position carries over to the next spinner, labelled or not.
  EXPECT_EQ(Draw({"spinner", "2", "-", "spinner", "1", "Downloading"}, true),
            "\r .      \r\r ..      \r\r (Downloading) ...      \r");
  EXPECT_EQ(Draw({"stop"}, true), "\r" + Repeat(' ', 88) + "\r");
}

TEST(Drawing, NothingDrawnWhenRedirected) {
  EXPECT_EQ(Draw({"progress", "0.5", "-", "spinner", "3", "-", "end", "stop", "info", "kept"}, false),
            "kept\n");
  RunResult r = RunProgram(DRAW_DISPLAY_BIN, {"error", "to stderr"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "to stderr\n");
}
