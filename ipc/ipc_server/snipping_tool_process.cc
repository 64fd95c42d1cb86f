#include "ipc/ipc_server/snipping_tool_process.h"

#include "ipc/ipc_server/launch_switches.h"
#include "ipc_core/service_client.h"
#include "platform/command_line.h"
#include "platform/file_util.h"
#include "platform/last_error.h"
#include "platform/launch.h"
#include "platform/logging.h"
#include "platform/path_service.h"

namespace snipping_tool {

SnippingToolProcess::SnippingToolProcess() = default;

SnippingToolProcess::~SnippingToolProcess() {
  SetPrepareLaunches(false);
  ResetStatus();
  DropExitWait(true);
}

bool SnippingToolProcess::StartProcessIfNeed(
    const SnippingToolConfig& config, uint32_t port, bool use_screen_tool,
    const std::function<std::string(uint64_t launch)>& make_peer_secret, uint64_t keep_launch) {
  LOG(INFO) << "[SnippingToolAgent] " << "StartProcessIfNeed" << " is_valid:" << IsValid()
            << " port_number:" << port;

  // The exit callback of the tool that ended takes the lock (it resets), so
  // its wait is cancelled, waiting for a callback in progress, before the
  // lock is taken; so is the wait of a tool of an ended launch, which is
  // reset below. A tool that is still held and kept keeps its wait.
  if (!IsValid() || (keep_launch != kAnyLaunch && keep_launch != launch_.load()))
    CancelExitWait();

  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (process_.IsValid()) {
    if (keep_launch == kAnyLaunch || keep_launch == launch_)
      return true;
    // The tool of a launch that has ended; its owner's reset, on another
    // thread, would find the new tool and leave it alone.
    ResetStatus();
  }

  base::FilePath module_dir;
  base::PathService::Get(base::DIR_MODULE, &module_dir);
  const base::FilePath path = module_dir.Append(base::FilePath::FromUTF8Unsafe(
      use_screen_tool ? kVizudeDezoExecutable : kQuilloSnippingToolExecutable));
  if (!base::PathExists(path)) {
    LOG(ERROR) << "[SnippingToolAgent] " << "child process binary file not exists"
               << " path:" << path.value();
    return false;
  }

  base::CommandLine command_line(path);
  if (use_screen_tool)
    AppendVizudeDezoSwitches(config, port, &command_line);
  else
    AppendClassicSwitches(config, port, &command_line);

  // Without a job the launch still goes ahead; the tool is then ended only
  // by ResetStatus, not with the agent.
  job_.Set(ready_job_.IsValid() ? ready_job_.Take() : NewToolJob());
  launch_.fetch_add(1);

  base::LaunchOptions options;
  options.job_handle = job_.Get();
  if (make_peer_secret)
    options.environment[ipc_core::kPeerSecretEnvironmentVariable] = make_peer_secret(launch_);
  process_ = base::LaunchProcess(command_line, options);
  const base::SystemErrorCode last_error = base::GetLastSystemError();
  process_valid_.store(process_.IsValid());

  LOG(INFO) << "[SnippingToolAgent] " << "StartProcess result" << " is_valid:" << process_.IsValid()
            << " pid:" << process_.Pid() << " snipping_tool_path:" << path.value()
            << " last_error:" << last_error;

  // A wait registered by a start on another thread after our cancellation
  // above: its callback may be blocked on our lock, so it is cancelled
  // without waiting, and OnProcessExit ignores it once it gets the lock.
  DropExitWait(false);
  if (process_.Handle() != base::kNullProcessHandle) {
    base::ExitWaitHandle wait = base::ExitWaitHandle();
    if (base::RegisterExitWait(&wait, process_.Handle(), &SnippingToolProcess::WaitForProcessExit,
                               this)) {
      std::lock_guard<std::mutex> hold_wait(wait_lock_);
      exit_wait_ = wait;
      exit_wait_launch_ = launch_;
    }
  }
  return process_.IsValid();
}

void SnippingToolProcess::ResetStatus(uint64_t launch) {
  LOG(INFO) << "[SnippingToolAgent] " << "ResetStatus";
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (launch != kAnyLaunch && launch != launch_)
    return;
  if (process_.IsValid()) {
    process_.Terminate(0, false);
    process_.Close();
    process_valid_.store(false);
  }
  // Closing the job kills the processes the tool started, which the
  // termination above leaves running.
  job_.Close();
  PrepareLaunchLocked();
}

void SnippingToolProcess::SetPrepareLaunches(bool on) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  prepare_launches_ = on;
  if (on)
    PrepareLaunchLocked();
  else
    ready_job_.Close();
}

base::JobHandle SnippingToolProcess::NewToolJob() {
  base::ScopedJobHandle job(base::CreateJobObject());
  base::SetJobObjectLimitFlags(job.Get(), base::kJobObjectLimitKillOnJobClose);
  return job.Take();
}

void SnippingToolProcess::PrepareLaunchLocked() {
  if (!prepare_launches_ || ready_job_.IsValid())
    return;
  ready_job_.Set(NewToolJob());
  // A job that could not be readied is readied by its launch, which then
  // reports what fails.
  if (ready_job_.IsValid() && !base::PrepareJobObject(ready_job_.Get())) {
    LOG(WARNING) << "[SnippingToolAgent] " << "PrepareLaunch failed"
                 << " last_error:" << base::GetLastSystemError();
  }
}

void SnippingToolProcess::CancelExitWait(uint64_t launch) {
  DropExitWait(true, launch);
}

bool SnippingToolProcess::IsValid() const {
  return process_valid_.load();
}

void SnippingToolProcess::WaitForProcessExit(void* context, unsigned char timer_or_wait_fired) {
  LOG(INFO) << "[SnippingToolAgent] " << "WaitForProcessExit"
            << " TimerOrWaitFired:" << (timer_or_wait_fired ? 1 : 0);
  if (!context)
    return;
  static_cast<SnippingToolProcess*>(context)->OnProcessExit();
}

void SnippingToolProcess::OnProcessExit() {
  LOG(INFO) << "[SnippingToolAgent] " << "OnProcessExit";
  std::lock_guard<std::recursive_mutex> hold(lock_);
  // A notice for the tool of an earlier launch that came after a new tool
  // was started: the new tool is reset only once it has ended as well.
  if (process_.IsValid() && !process_.HasExited())
    return;
  ResetStatus();
}

void SnippingToolProcess::DropExitWait(bool wait_for_running_callback, uint64_t launch) {
  base::ExitWaitHandle wait = base::ExitWaitHandle();
  {
    std::lock_guard<std::mutex> hold_wait(wait_lock_);
    if (launch != kAnyLaunch && launch != exit_wait_launch_)
      return;
    std::swap(wait, exit_wait_);
  }
  if (wait != base::ExitWaitHandle())
    base::UnregisterExitWait(wait, wait_for_running_callback);
}

}  // namespace snipping_tool
