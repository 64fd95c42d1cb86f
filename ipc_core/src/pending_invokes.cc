#include "pending_invokes.h"

#include <algorithm>
#include <utility>

#include "runtime.h"

namespace ipc_core {

void InvokeOutcome::Deliver() {
  ForeignCode foreign;
  switch (kind) {
    case Kind::kResponse:
      context->OnResponse(text.c_str());
      break;
    case Kind::kError:
      context->OnError(code, text.c_str());
      break;
    case Kind::kTimeout:
      context->OnTimeout();
      break;
  }
  // The context is the caller's object: its release may run the caller's
  // code too.
  context.reset();
}

bool PendingInvokes::Add(uint64_t id, ipc_core_refptr<IRequestContext> context,
                         Clock::time_point deadline, int32_t connection_id, std::string frame) {
  bool earliest = deadlines_.empty() || deadline < deadlines_.begin()->first;
  Entry entry;
  entry.context = std::move(context);
  entry.connection_id = connection_id;
  entry.deadline = deadlines_.emplace(deadline, id);
  if (connection_id == 0) {
    entry.frame = std::move(frame);
    waiting_.push_back(id);
  } else {
    entry.context->SetSentAt(NowTicks());
  }
  entries_.emplace(id, std::move(entry));
  return earliest;
}

void PendingInvokes::Take(std::unordered_map<uint64_t, Entry>::iterator it,
                          InvokeOutcome::Kind kind, int32_t code, std::string text,
                          std::vector<InvokeOutcome>* out) {
  if (it->second.connection_id == 0) {
    auto w = std::find(waiting_.begin(), waiting_.end(), it->first);
    if (w != waiting_.end())
      waiting_.erase(w);
  }
  deadlines_.erase(it->second.deadline);
  InvokeOutcome outcome;
  outcome.context = std::move(it->second.context);
  outcome.kind = kind;
  outcome.code = code;
  outcome.text = std::move(text);
  entries_.erase(it);
  out->push_back(std::move(outcome));
}

bool PendingInvokes::TakeAnswerFrame(wire::Frame& frame, int32_t connection_id,
                                     std::vector<InvokeOutcome>* out) {
  const bool error = frame.type == wire::FrameType::kErrorReply;
  return TakeAnswered(frame.id, connection_id,
                      error ? InvokeOutcome::Kind::kError : InvokeOutcome::Kind::kResponse,
                      frame.code, std::move(frame.text), out);
}

bool PendingInvokes::TakeAnswered(uint64_t id, int32_t connection_id, InvokeOutcome::Kind kind,
                                  int32_t code, std::string text,
                                  std::vector<InvokeOutcome>* out) {
  auto it = entries_.find(id);
  if (it == entries_.end() || it->second.connection_id != connection_id)
    return false;
  Take(it, kind, code, std::move(text), out);
  return true;
}

void PendingInvokes::TakeExpired(Clock::time_point now, std::vector<InvokeOutcome>* out) {
  while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
    auto it = entries_.find(deadlines_.begin()->second);
    Take(it, InvokeOutcome::Kind::kTimeout, kErrorTimeout, std::string(), out);
  }
}

void PendingInvokes::TakeConnection(int32_t connection_id, int32_t code,
                                    const std::string& reason, std::vector<InvokeOutcome>* out) {
  for (auto it = entries_.begin(); it != entries_.end();) {
    auto next = std::next(it);
    if (it->second.connection_id == connection_id)
      Take(it, InvokeOutcome::Kind::kError, code, reason, out);
    it = next;
  }
}

void PendingInvokes::TakeAll(int32_t code, const std::string& reason,
                             std::vector<InvokeOutcome>* out) {
  while (!entries_.empty())
    Take(entries_.begin(), InvokeOutcome::Kind::kError, code, reason, out);
}

void PendingInvokes::AssignWaiting(int32_t connection_id, std::string* frames) {
  for (uint64_t id : waiting_) {
    Entry& entry = entries_.at(id);
    entry.connection_id = connection_id;
    entry.context->SetSentAt(NowTicks());
    frames->append(entry.frame);
    std::string().swap(entry.frame);
  }
  waiting_.clear();
}

}  // namespace ipc_core
