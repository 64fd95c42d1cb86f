// The invokes an end has sent (or is holding until a peer connects) and not
// yet seen completed. Whoever takes an entry out first (the answer, the
// deadline, the loss of its connection, a stop) owns its one outcome; the
// table itself has no lock: its owner guards it with its own.
#ifndef IPC_CORE_SRC_PENDING_INVOKES_H_
#define IPC_CORE_SRC_PENDING_INVOKES_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "ipc_core/ref_count.h"
#include "ipc_core/request_context.h"
#include "wire_format.h"

namespace ipc_core {

// The one outcome of an invoke, taken out of the table under the owner's
// lock and delivered after it is released.
struct InvokeOutcome {
  enum class Kind { kResponse, kError, kTimeout };
  ipc_core_refptr<IRequestContext> context;
  Kind kind = Kind::kError;
  int32_t code = 0;
  std::string text;

  void Deliver();
};

class PendingInvokes {
 public:
  using Clock = std::chrono::steady_clock;

  // Adds an invoke. With |connection_id| 0 it waits for a connection and
  // keeps its encoded |frame|; otherwise it has been handed to that
  // connection and |frame| is ignored. Stamps the context's sent-at time when
  // it is handed over. Returns true when |deadline| is now the earliest.
  bool Add(uint64_t id, ipc_core_refptr<IRequestContext> context, Clock::time_point deadline,
           int32_t connection_id, std::string frame);
  // Takes the invoke answered by |frame_type|'s frame from |connection_id|.
  // False when there is no such invoke on that connection (late or forged).
  bool TakeAnswered(uint64_t id, int32_t connection_id, InvokeOutcome::Kind kind, int32_t code,
                    std::string text, std::vector<InvokeOutcome>* out);
  // The same for a reply or error-reply frame, as both ends receive them.
  bool TakeAnswerFrame(wire::Frame& frame, int32_t connection_id,
                       std::vector<InvokeOutcome>* out);
  void TakeExpired(Clock::time_point now, std::vector<InvokeOutcome>* out);
  void TakeConnection(int32_t connection_id, int32_t code, const std::string& reason,
                      std::vector<InvokeOutcome>* out);
  void TakeAll(int32_t code, const std::string& reason, std::vector<InvokeOutcome>* out);
  // Hands every waiting invoke to |connection_id|, oldest first, appending
  // their frames to |frames|.
  void AssignWaiting(int32_t connection_id, std::string* frames);

  bool empty() const { return entries_.empty(); }
  size_t size() const { return entries_.size(); }
  Clock::time_point next_deadline() const { return deadlines_.begin()->first; }

 private:
  using Deadlines = std::multimap<Clock::time_point, uint64_t>;
  struct Entry {
    ipc_core_refptr<IRequestContext> context;
    int32_t connection_id = 0;
    std::string frame;
    Deadlines::iterator deadline;
  };
  void Take(std::unordered_map<uint64_t, Entry>::iterator it, InvokeOutcome::Kind kind,
            int32_t code, std::string text, std::vector<InvokeOutcome>* out);

  std::unordered_map<uint64_t, Entry> entries_;
  Deadlines deadlines_;
  std::deque<uint64_t> waiting_;
};

}  // namespace ipc_core

#endif  // IPC_CORE_SRC_PENDING_INVOKES_H_
