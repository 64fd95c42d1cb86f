#include "ipc/ipc_server/timeout_config.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/service_manager.h"
#include "tests/support/fake_service_manager.h"
#include "tests/support/log_capture.h"

namespace snipping_tool {
namespace {

constexpr char kPrefix[] = "[SnippingToolAgent] ";

std::string FinalLine(uint32_t invoke, uint32_t prepare_port, uint32_t handshake) {
  return std::string(kPrefix) + "InitTimeoutConfig IPCInvokeTimeout:" + std::to_string(invoke) +
         " IPCPreparePortTimeout:" + std::to_string(prepare_port) +
         " ProcessHandshakeTimeout:" + std::to_string(handshake);
}

class TimeoutConfigTest : public ::testing::Test {
 protected:
  void TearDown() override {
    kvbase::ServiceManagerHolder::GetInstance()->SetServiceManager(nullptr);
  }

  // The host's switch "increase_screen_ipc_time" in group "general".
  void SetSwitch(bool on) {
    auto manager = std::make_shared<test_support::FakeServiceManager>();
    auto switches = std::make_shared<test_support::FakeGraySwitchMgr>();
    switches->Set("general", "increase_screen_ipc_time", on);
    manager->AddInterface(kvbase::kGraySwitchMgrServiceName, "class model::IGraySwitchMgr",
                          switches);
    kvbase::ServiceManagerHolder::GetInstance()->SetServiceManager(manager);
  }

  test_support::LogCapture log_;
};

TEST_F(TimeoutConfigTest, DefaultsSwitchAndDocument) {
  enum Switch { kNone, kOff, kOn };
  struct Case {
    Switch host_switch;
    const char* document;  // The "timeout_config" entry; null for none.
    uint32_t invoke, prepare_port, handshake;
  };
  const Case cases[] = {
      {kNone, nullptr, 3000, 2000, 3000},
      {kOff, nullptr, 3000, 2000, 3000},
      {kOn, nullptr, 8000, 5000, 8000},
      // The document overrides the switch's values, member by member.
      {kOn, R"({"ProcessHandshakeTimeout":2500})", 8000, 5000, 2500},
      // The bounds are inclusive ...
      {kNone, R"({"IPCInvokeTimeout":2001,"IPCPreparePortTimeout":9999,"ProcessHandshakeTimeout":5000})",
       2001, 9999, 5000},
      // ... and what lies outside them is ignored.
      {kNone, R"({"IPCInvokeTimeout":2000,"IPCPreparePortTimeout":10000,"ProcessHandshakeTimeout":-5000})",
       3000, 2000, 3000},
      // Member names are case-sensitive and exact.
      {kNone, R"({"ipcinvoketimeout":5000,"IPCInvokeTimeout ":5000})", 3000, 2000, 3000},
      {kNone, "", 3000, 2000, 3000},
      {kNone, R"( {"IPCInvokeTimeout": 4000, "other": [1,2]} )", 4000, 2000, 3000},
      // A bad document changes nothing; only JSON integers are taken.
      {kNone, "not json", 3000, 2000, 3000},
      {kNone, R"({"IPCInvokeTimeout":5000} trailing)", 3000, 2000, 3000},
      {kNone, R"([{"IPCInvokeTimeout":5000}])", 3000, 2000, 3000},
      {kNone, "\xEF\xBB\xBF{\"IPCInvokeTimeout\":5000}", 3000, 2000, 3000},
      {kNone, R"({"IPCInvokeTimeout":"5000"})", 3000, 2000, 3000},
      {kNone, R"({"IPCInvokeTimeout":5000.0})", 3000, 2000, 3000},
      {kNone, R"({"IPCInvokeTimeout":4294972296})", 3000, 2000, 3000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.document ? c.document : "no document");
    if (c.host_switch != kNone)
      SetSwitch(c.host_switch == kOn);
    log_.Clear();
    std::map<std::string, std::string> extras;
    if (c.document)
      extras["timeout_config"] = c.document;
    const TimeoutConfig config = ComputeTimeoutConfig(extras);
    EXPECT_EQ(config.IPCInvokeTimeout, c.invoke);
    EXPECT_EQ(config.IPCPreparePortTimeout, c.prepare_port);
    EXPECT_EQ(config.ProcessHandshakeTimeout, c.handshake);
    // A document is logged as it came; an empty one is not.
    std::vector<std::string> lines = {FinalLine(c.invoke, c.prepare_port, c.handshake)};
    if (c.document && *c.document)
      lines.insert(lines.begin(), std::string(kPrefix) + "InitTimeoutConfig configs:" + c.document);
    EXPECT_EQ(log_.Lines(), lines);
    kvbase::ServiceManagerHolder::GetInstance()->SetServiceManager(nullptr);
  }
}

}  // namespace
}  // namespace snipping_tool
