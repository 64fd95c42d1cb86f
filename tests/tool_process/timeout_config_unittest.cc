#include "ipc/ipc_server/timeout_config.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/service_manager.h"
#include "tests/process/fake_service_manager.h"
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

  void SetSwitch(bool on) {
    auto manager = std::make_shared<fake_host::FakeServiceManager>();
    auto switches = std::make_shared<fake_host::FakeGraySwitchMgr>();
    switches->Set("general", "increase_screen_ipc_time", on);
    manager->AddInterface(kvbase::kGraySwitchMgrServiceName, "class model::IGraySwitchMgr",
                          switches);
    kvbase::ServiceManagerHolder::GetInstance()->SetServiceManager(manager);
  }

  // The time-outs for a "timeout_config" entry of |document|.
  TimeoutConfig With(const std::string& document) {
    return ComputeTimeoutConfig({{"timeout_config", document}});
  }

  test_support::LogCapture log_;
};

TEST_F(TimeoutConfigTest, SwitchOffWithoutDocument) {
  const TimeoutConfig config = ComputeTimeoutConfig({});
  EXPECT_EQ(config.IPCInvokeTimeout, 3000u);
  EXPECT_EQ(config.ProcessHandshakeTimeout, 3000u);
  EXPECT_EQ(config.IPCPreparePortTimeout, 2000u);
  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{FinalLine(3000, 2000, 3000)}));
  EXPECT_EQ(log_.Severities(), (std::vector<logging::LogSeverity>{logging::LOG_INFO}));
}

TEST_F(TimeoutConfigTest, SwitchOnRaisesAllThree) {
  SetSwitch(true);
  const TimeoutConfig config = ComputeTimeoutConfig({});
  EXPECT_EQ(config.IPCInvokeTimeout, 8000u);
  EXPECT_EQ(config.ProcessHandshakeTimeout, 8000u);
  EXPECT_EQ(config.IPCPreparePortTimeout, 5000u);
  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{FinalLine(8000, 5000, 8000)}));
}

TEST_F(TimeoutConfigTest, SwitchInstalledButOff) {
  SetSwitch(false);
  const TimeoutConfig config = ComputeTimeoutConfig({});
  EXPECT_EQ(config.IPCInvokeTimeout, 3000u);
  EXPECT_EQ(config.IPCPreparePortTimeout, 2000u);
}

TEST_F(TimeoutConfigTest, DocumentTextIsLoggedUnchangedBeforeTheValues) {
  const std::string document = " {\"IPCInvokeTimeout\": 4000, \"other\": [1,2]} ";
  With(document);
  EXPECT_EQ(log_.Lines(),
            (std::vector<std::string>{std::string(kPrefix) + "InitTimeoutConfig configs:" + document,
                                      FinalLine(4000, 2000, 3000)}));
}

TEST_F(TimeoutConfigTest, RangeBoundsAreInclusive) {
  TimeoutConfig config = With(R"({"IPCInvokeTimeout":2001,"IPCPreparePortTimeout":9999,
                                  "ProcessHandshakeTimeout":5000})");
  EXPECT_EQ(config.IPCInvokeTimeout, 2001u);
  EXPECT_EQ(config.IPCPreparePortTimeout, 9999u);
  EXPECT_EQ(config.ProcessHandshakeTimeout, 5000u);

  config = With(R"({"IPCInvokeTimeout":2000,"IPCPreparePortTimeout":10000,
                    "ProcessHandshakeTimeout":-5000})");
  EXPECT_EQ(config.IPCInvokeTimeout, 3000u);
  EXPECT_EQ(config.IPCPreparePortTimeout, 2000u);
  EXPECT_EQ(config.ProcessHandshakeTimeout, 3000u);
}

TEST_F(TimeoutConfigTest, DocumentOverridesTheSwitchValues) {
  SetSwitch(true);
  const TimeoutConfig config = With(R"({"ProcessHandshakeTimeout":2500})");
  EXPECT_EQ(config.IPCInvokeTimeout, 8000u);
  EXPECT_EQ(config.ProcessHandshakeTimeout, 2500u);
  EXPECT_EQ(config.IPCPreparePortTimeout, 5000u);
}

TEST_F(TimeoutConfigTest, OnlyJsonIntegersAreTaken) {
  // Text, fraction, exponent form, bool, null, object, and a number too big
  // for a signed 32-bit value.
  for (const char* value : {R"("5000")", "5000.5", "5000.0", "5e3", "true", "null", "{}",
                            "4294972296", "[5000]"}) {
    const TimeoutConfig config = With(std::string("{\"IPCInvokeTimeout\":") + value + "}");
    EXPECT_EQ(config.IPCInvokeTimeout, 3000u) << value;
  }
}

TEST_F(TimeoutConfigTest, MemberNamesAreCaseSensitive) {
  const TimeoutConfig config = With(R"({"ipcinvoketimeout":5000,"IPCInvokeTimeout ":5000})");
  EXPECT_EQ(config.IPCInvokeTimeout, 3000u);
}

TEST_F(TimeoutConfigTest, MalformedOrNonObjectDocumentsChangeNothing) {
  for (const char* document :
       {"{", "not json", R"({"IPCInvokeTimeout":5000} trailing)", R"([{"IPCInvokeTimeout":5000}])",
        "5000", R"("{\"IPCInvokeTimeout\":5000}")", "{\"IPCInvokeTimeout\":5000,}",
        "\xEF\xBB\xBF{\"IPCInvokeTimeout\":5000}"}) {
    log_.Clear();
    const TimeoutConfig config = With(document);
    EXPECT_EQ(config.IPCInvokeTimeout, 3000u) << document;
    EXPECT_EQ(config.ProcessHandshakeTimeout, 3000u) << document;
    EXPECT_EQ(config.IPCPreparePortTimeout, 2000u) << document;
    // The text is logged, then the values, and nothing else.
    EXPECT_EQ(log_.Lines(), (std::vector<std::string>{
                                std::string(kPrefix) + "InitTimeoutConfig configs:" + document,
                                FinalLine(3000, 2000, 3000)}))
        << document;
  }
}

TEST_F(TimeoutConfigTest, DeeplyNestedDocumentIsRefusedWithoutCrashing) {
  const std::string document = std::string(200000, '[') + std::string(200000, ']');
  const TimeoutConfig config = With(document);
  EXPECT_EQ(config.IPCInvokeTimeout, 3000u);
}

TEST_F(TimeoutConfigTest, EmptyOrAbsentEntryWritesNoConfigsLine) {
  With("");
  ComputeTimeoutConfig({{"Timeout_Config", R"({"IPCInvokeTimeout":5000})"}});
  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{FinalLine(3000, 2000, 3000),
                                                    FinalLine(3000, 2000, 3000)}));
}

}  // namespace
}  // namespace snipping_tool
