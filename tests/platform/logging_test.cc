#include "platform/logging.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/file_path.h"
#include "tests/support/log_capture.h"

// Code of the platform layer logs wide paths from inside namespace base,
// which has a type with an inserter of its own (FilePath); the wide
// inserters must still be found there, or a wide literal would print as an
// address.
namespace base {
namespace {
void LogWideFromBase(const std::wstring& wide, const FilePath& path) {
  LOG(INFO) << "string:" << wide << " literal:" << L"\u00E9" << " path:" << path;
}
}  // namespace
}  // namespace base

namespace logging {
namespace {

using Record = test_support::LogCapture::Record;

// Captures the records, and sets the minimum level for one test.
class LoggingTest : public ::testing::Test {
 protected:
  void TearDown() override { SetMinLogLevel(previous_level_); }
  std::vector<Record> TakeRecords() {
    std::vector<Record> records = log_.Records();
    log_.Clear();
    return records;
  }

  const LogSeverity previous_level_ = GetMinLogLevel();
  test_support::LogCapture log_;
};

TEST_F(LoggingTest, BelowTheMinimumLevelNothingIsEvaluatedOrRecorded) {
  SetMinLogLevel(LOG_WARNING);
  EXPECT_TRUE(ShouldCreateLogMessage(LOG_ERROR));
  int evaluated = 0;
  auto piece = [&evaluated] {
    ++evaluated;
    return "piece";
  };
  LOG(INFO) << piece() << piece();
  EXPECT_EQ(evaluated, 0);
  LOG(WARNING) << piece() << " " << piece();
  EXPECT_EQ(evaluated, 2);
  const std::vector<Record> records = TakeRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].text, "piece piece");
  EXPECT_EQ(records[0].severity, LOG_WARNING);
  // The file is named relative to the source tree (a compiler cache may
  // name it relative to the build directory): never by an absolute path.
  EXPECT_THAT(records[0].file, ::testing::EndsWith("tests/platform/logging_test.cc"));
  EXPECT_NE(records[0].file.front(), '/');
}

TEST_F(LoggingTest, RecordsReachTheHandlerWholeFromManyThreads) {
  SetMinLogLevel(LOG_INFO);
  constexpr int kThreads = 8;
  constexpr int kRecordsPerThread = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kRecordsPerThread; ++i)
        LOG(INFO) << "[SnippingToolAgent] Test thread:" << t << " index:" << i << " tail:" << t;
    });
  }
  for (std::thread& thread : threads)
    thread.join();

  // Every record arrives whole, and each thread's records in order.
  std::vector<std::vector<std::string>> seen(kThreads), expected(kThreads);
  for (const Record& record : TakeRecords()) {
    const int thread = record.text.back() - '0';  // the tail
    ASSERT_TRUE(thread >= 0 && thread < kThreads) << record.text;
    seen[thread].push_back(record.text);
  }
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kRecordsPerThread; ++i)
      expected[t].push_back("[SnippingToolAgent] Test thread:" + std::to_string(t) +
                            " index:" + std::to_string(i) + " tail:" + std::to_string(t));
  }
  EXPECT_EQ(seen, expected);
}

// Regressions: wide text logged from namespace base printed as an address;
// a log statement changed the caller's last system error.
using LoggingRegressionTest = LoggingTest;

TEST_F(LoggingRegressionTest, WideTextIsWrittenAsUTF8FromANamespaceWithItsOwnInserters) {
  SetMinLogLevel(LOG_INFO);
  base::LogWideFromBase(L"C:\\\u622A\\\U0001F600.png",
                        base::FilePath::FromUTF8Unsafe("a/\xC3\xA9"));
  LOG(INFO) << "null:" << static_cast<const wchar_t*>(nullptr);
  const std::vector<Record> records = TakeRecords();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].text,
            "string:C:\\\xE6\x88\xAA\\\xF0\x9F\x98\x80.png literal:\xC3\xA9 path:a/\xC3\xA9");
  EXPECT_EQ(records[1].text, "null:");
}

TEST_F(LoggingRegressionTest, LastSystemErrorSurvivesTheStatement) {
  SetMinLogLevel(LOG_INFO);
  // Neither a piece of the statement nor the handler may leave its error
  // behind: the caller logs a failure and then reports its error code.
  const LogHandler fixture_handler = SetLogHandler(
      [&fixture_handler](LogSeverity severity, const char* file, int line,
                         std::string_view text) {
        base::SetLastSystemError(22);
        fixture_handler(severity, file, line, text);
      });
  base::SetLastSystemError(1234);
  LOG(ERROR) << "failed" << [] {
    base::SetLastSystemError(5);
    return " piece";
  }();
  EXPECT_EQ(base::GetLastSystemError(), 1234u);
  SetLogHandler(fixture_handler);
  ASSERT_EQ(TakeRecords().size(), 1u);

  // The default destination writes to stderr, which may set the error too.
  const LogHandler previous = SetLogHandler(LogHandler());
  ::testing::internal::CaptureStderr();
  base::SetLastSystemError(4321);
  LOG(ERROR) << "to stderr";
  const base::SystemErrorCode after = base::GetLastSystemError();
  const std::string output = ::testing::internal::GetCapturedStderr();
  SetLogHandler(previous);
  EXPECT_EQ(after, 4321u);
  EXPECT_THAT(output, ::testing::HasSubstr("ERROR"));
  EXPECT_THAT(output, ::testing::EndsWith("to stderr\n"));
}

}  // namespace
}  // namespace logging
