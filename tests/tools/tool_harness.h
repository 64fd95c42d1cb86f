// What the integration tests of the reference tool need around it: the
// agent's end of the IPC runtime (a real service host offering the agent's
// service), and the tool started for real as a child process.
#ifndef TESTS_TOOLS_TOOL_HARNESS_H_
#define TESTS_TOOLS_TOOL_HARNESS_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ipc_core/service_host.h"
#include "platform/process.h"
#include "tests/support/test_os.h"
#include "tests/support/test_text.h"

namespace reference_tool_test {

// Methods of the agent's service and of the tool's.
inline constexpr char kHandshake[] = "snipping_tool_agent.snipping.handshake";
inline constexpr char kNotify[] = "snipping_tool_agent.snipping.notify";
inline constexpr char kShot[] = "snipping_tool.snipping.shot";
inline constexpr char kWndHide[] = "snipping_tool.snipping.on_select_user_wnd_hide";
// The identity the VizudeDezo tool looks the agent up by.
inline constexpr char kVizudeDezoIdentity[] = "{5B1C7E24-0D3A-4F68-9C27-3E8B1A6D4F90}";

// A request the tool sent to the agent's service.
struct ToolRequest {
  std::string method;
  std::string payload;
};

// The agent's end: a service host with the agent's identity and service.
// Every request of the tool is recorded and, except those named in
// |unanswered|, answered with an empty text, as the agent does.
class AgentEnd : public ipc_core::IServiceHostObserver {
 public:
  explicit AgentEnd(const std::string& identity);
  ~AgentEnd() override;

  // Starts listening; false when no port came.
  bool Start();
  int port() const { return port_; }
  const std::string& secret() const { return secret_; }
  void Stop();

  // Waits until |count| requests of |method| have arrived.
  bool WaitForRequests(const std::string& method, size_t count);
  bool WaitForConnections(int count);
  bool WaitForDisconnections(int count);
  std::vector<ToolRequest> requests();
  int connections();

  // Invokes |method| on the tool and waits for the outcome: "reply <text>",
  // "error <code> <reason>" or "timeout".
  std::string InvokeAndWait(const std::string& method, const std::string& payload,
                            int timeout_ms = 5000);

  void AddRef() override {}
  void Release() override {}
  void OnServiceHostInit(ipc_core::IServiceHost*) override {}
  void OnServiceHostStartSuccess(ipc_core::IServiceHost*, int32_t port) override;
  void OnServiceHostStartFailure(ipc_core::IServiceHost*, int32_t) override;
  void OnServiceHostStoped(ipc_core::IServiceHost*) override;
  void OnServiceInvokerConnected(ipc_core::IServiceHost*, int32_t) override;
  void OnServiceInvokerDisconnected(ipc_core::IServiceHost*, int32_t) override;

 private:
  bool WaitUntil(const std::function<bool()>& condition);

  ipc_core::IServiceHost* host_ = nullptr;
  ipc_core::SimpleService* service_ = nullptr;
  std::string secret_;
  std::mutex lock_;
  std::condition_variable changed_;
  int port_ = 0;
  bool start_failed_ = false;
  bool stopped_ = false;
  int connections_ = 0;
  int disconnections_ = 0;
  std::vector<ToolRequest> requests_;
};

// The path of the built tool executable; the tools sit next to the test
// executables and carry ".exe" on every platform.
std::string ToolPath(bool vizudedezo);
// The path of the built demo host.
std::string DemoHostPath();

// Base64 of the JSON object of strings |extras|, as the agent writes it.
std::string ExtrasSwitchValue(const std::map<std::string, std::string>& extras);

using test_support::JsonEscape;
using test_support::ReadFile;
using test_support::ReadTrace;

// The VizudeDezo switch set as the agent writes it, no port, with |script|
// in the extension document.
std::vector<std::pair<std::string, std::string>> VizudeDezoSwitches(const std::string& script);

// The classic tool started with the switch set the agent writes, |script|
// in the extras when given, the agent's secret and |environment| added. No
// identity: port tests must not publish a rendezvous that other tests
// running at the same time could find.
base::Process LaunchClassic(const AgentEnd& agent, const std::string& script,
                            std::map<std::string, std::string> environment = {});
// The payloads of the requests of |method| the agent received so far.
std::vector<std::string> PayloadsOf(AgentEnd& agent, const std::string& method);
// The result the tool sends for a shot that produced no file.
std::string NoFileResult(int event);

// Starts |program| with |switches| ("name" -> value, in order) and the
// environment additions |environment|.
base::Process LaunchTool(const std::string& program,
                         const std::vector<std::pair<std::string, std::string>>& switches,
                         const std::map<std::string, std::string>& environment);

// The tool's exit status, or -1 when it did not end within test_os::kWaitBound.
int WaitForExit(const base::Process& process);

bool PathExists(const std::string& path);

// The "snipping_event" the tool reports for a shot it is asked to save in a
// directory that does not exist: the save fails (3) when there is a screen
// to capture, the capture itself (2) when there is none. No file either way.
int UnsavableShotEvent();

using test_os::TempDir;
// A file in a subdirectory of |dir| that does not exist: nothing can be
// saved there, on any platform.
std::string UnsavableFile(const TempDir& dir, const std::string& name);

}  // namespace reference_tool_test

#endif  // TESTS_TOOLS_TOOL_HARNESS_H_
