// Which shot, tool launch and tool connection are current, and whether an
// event created for an earlier one may still act.
//
// Every asynchronous event of the agent (a time-out, a handshake and its
// completion, the shot request's outcome, a result, a disconnect, the UI
// half of a stop or a result, a screen-AI answer, a hide) carries the
// identity it was made for: the shot number, the launch number, the
// connection id. Time-outs are never cancelled and reports from the runtime
// may trail the state they describe, so an event asks this class whether
// what it was made for is still current before it changes anything; a stale
// event only logs.
//
// The class holds no lock and calls nothing: the service host calls it under
// its settings lock, in the same step in which it changes the shot flags and
// takes the shot's callables, so a decision and its effect are one atomic
// step.
#ifndef IPC_IPC_SERVER_SHOT_LIFECYCLE_H_
#define IPC_IPC_SERVER_SHOT_LIFECYCLE_H_

#include <cstdint>

namespace snipping_tool {

class ShotLifecycle {
 public:
  // What a stop was made for; the zero values ask nothing.
  struct Cause {
    // The shot that must still be running; kRunningShot: any running shot.
    uint64_t shot = 0;
    // The launch that must still be current.
    uint64_t launch = 0;
    // The connection that must still be the current launch's connection.
    int32_t connection = 0;
    // |launch| must be the current launch and not have completed its
    // handshake.
    bool before_handshake = false;
  };
  static constexpr uint64_t kRunningShot = ~uint64_t{0};

  // --- Shots, numbered from 1; at most one runs.

  // Makes a new shot the running one and returns its number.
  uint64_t StartShot();
  // The running shot; 0 when none runs.
  uint64_t running_shot() const { return running_shot_; }
  bool IsRunningShot(uint64_t shot) const { return shot != 0 && shot == running_shot_; }
  // The shot request of the running shot has gone out.
  void MarkShotEmitted() { emitted_ = running_shot_ != 0; }
  bool shot_emitted() const { return emitted_; }
  // Claims the running shot's outcome (a result, or a stop): its number,
  // or 0 when no shot runs or its outcome was claimed already. Each shot's
  // outcome is claimed once: the claimer owns its callables.
  uint64_t ClaimShot();
  // Ends |shot| if it is the running one.
  void EndShot(uint64_t shot);

  // --- Launches of the tool, numbered by the tool process.

  // |launch| is the current launch now; an earlier launch and its connection
  // are not current any more.
  void StartLaunch(uint64_t launch);
  // Ends the current launch and its connection; returns it (0 if none).
  uint64_t EndLaunch();
  uint64_t launch() const { return launch_; }
  bool launch_handshaken() const { return handshaken_; }

  // --- The current launch's connection.

  // A connection that presented the secret of |launch| has connected.
  // True when it is now the current connection: |launch| is the current
  // launch and has no connection yet.
  bool Connect(int32_t connection, uint64_t launch);
  int32_t connection() const { return connection_; }
  bool IsCurrentConnection(int32_t connection) const {
    return connection != 0 && connection == connection_;
  }
  // The handshake of |connection| was answered; false when it is stale.
  bool AnswerHandshake(int32_t connection);
  bool handshake_answered(int32_t connection) const {
    return IsCurrentConnection(connection) && answered_;
  }
  // The handshake of |connection| completes on the UI thread: true, and the
  // current launch counts as handshaken, when it is still current.
  bool CompleteHandshake(int32_t connection);

  // Whether a stop made for |cause| may still act.
  bool IsCurrent(const Cause& cause) const;

 private:
  uint64_t last_shot_ = 0;
  uint64_t running_shot_ = 0;
  bool claimed_ = false;
  bool emitted_ = false;
  uint64_t launch_ = 0;
  bool handshaken_ = false;
  int32_t connection_ = 0;
  bool answered_ = false;
};

}  // namespace snipping_tool

#endif  // IPC_IPC_SERVER_SHOT_LIFECYCLE_H_
