#include "tools/reference_tool/trace.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_os.h"
#include "tests/support/test_text.h"

namespace reference_tool {
namespace {

using Lines = std::vector<std::vector<std::string>>;

TEST(TraceTest, EscapesWhatWouldBreakALineOrAField) {
  EXPECT_EQ(EscapeTraceField("a\tb\nc\rd\\e\"f"), "a\\tb\\nc\\rd\\\\e\"f");
  // A backslash before a letter stays distinguishable from an escape.
  EXPECT_EQ(EscapeTraceField("\\n"), "\\\\n");
}

TEST(TraceTest, WritesFourFieldsPerLineFlushedAtOnceAndAppends) {
  test_os::TempDir dir;
  const std::string path = dir.File("tool.trace");
  {
    Trace trace;
    ASSERT_TRUE(trace.Open(path));
    trace.Write("recv", "snipping_tool.snipping.shot", "{\"a\":\"x\ty\"}\n");
    trace.Write("exit", "", "3");
    // Read while the trace is still open: a tool that crashes next must
    // already have its lines on disk.
    const Lines lines = test_support::ReadTrace(path);
    ASSERT_EQ(lines.size(), 2u);
    ASSERT_EQ(lines[0].size(), 4u);
    EXPECT_EQ(lines[0][0].find_first_not_of("0123456789"), std::string::npos) << lines[0][0];
    EXPECT_EQ(Lines({{lines[0][0], "recv", "snipping_tool.snipping.shot", "{\"a\":\"x\ty\"}\n"},
                     {lines[1][0], "exit", "", "3"}}),
              lines);
  }
  // A tool restarted with the same script must not wipe the trace.
  Trace again;
  ASSERT_TRUE(again.Open(path));
  again.Write("start", "b", "");
  EXPECT_EQ(test_support::ReadTrace(path).size(), 3u);
  // One that cannot be opened stays off.
  Trace off;
  EXPECT_FALSE(off.Open(test_os::JoinPath(dir.File("no_such_dir"), "x.trace")));
  off.Write("recv", "m", "p");
}

}  // namespace
}  // namespace reference_tool
