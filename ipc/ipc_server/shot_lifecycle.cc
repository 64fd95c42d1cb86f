#include "ipc/ipc_server/shot_lifecycle.h"

namespace snipping_tool {

uint64_t ShotLifecycle::StartShot() {
  running_shot_ = ++last_shot_;
  claimed_ = false;
  emitted_ = false;
  return running_shot_;
}

uint64_t ShotLifecycle::ClaimShot() {
  if (running_shot_ == 0 || claimed_)
    return 0;
  claimed_ = true;
  return running_shot_;
}

void ShotLifecycle::EndShot(uint64_t shot) {
  if (!IsRunningShot(shot))
    return;
  running_shot_ = 0;
  claimed_ = false;
  emitted_ = false;
}

void ShotLifecycle::StartLaunch(uint64_t launch) {
  launch_ = launch;
  handshaken_ = false;
  connection_ = 0;
  answered_ = false;
}

uint64_t ShotLifecycle::EndLaunch() {
  const uint64_t ended = launch_;
  StartLaunch(0);
  return ended;
}

bool ShotLifecycle::Connect(int32_t connection, uint64_t launch) {
  // A host driven without launches (launch 0) still has connections; a
  // launch has one connection at most, for its secret admits one.
  if (connection == 0 || launch != launch_ || connection_ != 0)
    return false;
  connection_ = connection;
  return true;
}

bool ShotLifecycle::AnswerHandshake(int32_t connection) {
  if (!IsCurrentConnection(connection))
    return false;
  answered_ = true;
  return true;
}

bool ShotLifecycle::CompleteHandshake(int32_t connection) {
  if (!IsCurrentConnection(connection))
    return false;
  handshaken_ = true;
  return true;
}

bool ShotLifecycle::IsCurrent(const Cause& cause) const {
  if (cause.shot == kRunningShot ? running_shot_ == 0
                                 : cause.shot != 0 && cause.shot != running_shot_) {
    return false;
  }
  if (cause.launch != 0 && cause.launch != launch_)
    return false;
  if (cause.connection != 0 && !IsCurrentConnection(cause.connection))
    return false;
  if (cause.before_handshake && (cause.launch == 0 || handshaken_))
    return false;
  return true;
}

}  // namespace snipping_tool
