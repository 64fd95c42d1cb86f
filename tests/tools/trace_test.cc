#include "tools/reference_tool/trace.h"

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace reference_tool {
namespace {

// Unique: builds of other configurations may run this test at the same time.
std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + name + "_" + std::to_string(std::random_device()()) + ".trace";
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  for (std::string field; std::getline(in, field, '\t');)
    fields.push_back(field);
  return fields;
}

TEST(TraceTest, EscapesWhatWouldBreakALineOrAField) {
  EXPECT_EQ(EscapeTraceField("a\tb\nc\rd\\e\"f"), "a\\tb\\nc\\rd\\\\e\"f");
  // A backslash before a letter stays distinguishable from an escape.
  EXPECT_EQ(EscapeTraceField("\\n"), "\\\\n");
}

TEST(TraceTest, WritesFourFieldsPerLineAndFlushesEachAtOnce) {
  const std::string path = TempPath("reference_tool_trace");
  Trace trace;
  ASSERT_TRUE(trace.Open(path));
  trace.Write("recv", "snipping_tool.snipping.shot", "{\"a\":\"x\ty\"}\n");
  trace.Write("exit", "", "3");
  // Read while the trace is still open: a tool that crashes next must
  // already have its lines on disk.
  const std::vector<std::string> lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 2u);
  const std::vector<std::string> first = SplitTabs(lines[0]);
  ASSERT_EQ(first.size(), 4u) << lines[0];
  EXPECT_EQ(first[0].find_first_not_of("0123456789"), std::string::npos) << first[0];
  EXPECT_EQ(first[1], "recv");
  EXPECT_EQ(first[2], "snipping_tool.snipping.shot");
  EXPECT_EQ(first[3], "{\"a\":\"x\\ty\"}\\n");
  const std::vector<std::string> second = SplitTabs(lines[1]);
  ASSERT_EQ(second.size(), 4u) << lines[1];
  EXPECT_EQ(second[1], "exit");
  EXPECT_EQ(second[2], "");
  EXPECT_EQ(second[3], "3");
  std::remove(path.c_str());
}

TEST(TraceTest, AppendsToAnExistingTrace) {
  const std::string path = TempPath("reference_tool_trace_append");
  {
    Trace first;
    ASSERT_TRUE(first.Open(path));
    first.Write("start", "a", "");
  }
  Trace second;
  ASSERT_TRUE(second.Open(path));
  second.Write("start", "b", "");
  EXPECT_EQ(ReadLines(path).size(), 2u) << "a tool restarted with the same script must not wipe the trace";
  std::remove(path.c_str());
}

TEST(TraceTest, StaysOffWhenThePathCannotBeOpened) {
  Trace trace;
  EXPECT_FALSE(trace.Open(::testing::TempDir() + "no/such/dir/x.trace"));
  trace.Write("recv", "m", "p");  // must not crash
}

}  // namespace
}  // namespace reference_tool
