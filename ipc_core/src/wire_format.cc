#include "wire_format.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace ipc_core {
namespace wire {
namespace {

// The body length a frame header announces (bytes 4..7, little-endian).
uint32_t HeaderBodyLength(const uint8_t* h) {
  return static_cast<uint32_t>(h[4]) | static_cast<uint32_t>(h[5]) << 8 |
         static_cast<uint32_t>(h[6]) << 16 | static_cast<uint32_t>(h[7]) << 24;
}

void PutU8(std::string* out, uint8_t v) { out->push_back(static_cast<char>(v)); }

void PutU16(std::string* out, uint16_t v) {
  PutU8(out, static_cast<uint8_t>(v));
  PutU8(out, static_cast<uint8_t>(v >> 8));
}

void PutU32(std::string* out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8)
    PutU8(out, static_cast<uint8_t>(v >> shift));
}

void PutU64(std::string* out, uint64_t v) {
  for (int shift = 0; shift < 64; shift += 8)
    PutU8(out, static_cast<uint8_t>(v >> shift));
}

void PutText(std::string* out, std::string_view text) {
  PutU32(out, static_cast<uint32_t>(text.size()));
  out->append(text.data(), text.size());
}

// Writes the header with a zero length and returns where the body starts, so
// the length can be patched once the body is complete.
size_t BeginFrame(std::string* out, FrameType type, size_t body_size) {
  // One allocation for the whole frame rather than one per growth step.
  out->reserve(out->size() + kHeaderSize + body_size);
  PutU16(out, kFrameMagic);
  PutU8(out, static_cast<uint8_t>(type));
  PutU8(out, 0);  // flags
  PutU32(out, 0);
  return out->size();
}

void EndFrame(std::string* out, size_t body_start) {
  uint32_t length = static_cast<uint32_t>(out->size() - body_start);
  char* p = &(*out)[body_start - 4];
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<char>(length >> (8 * i));
}

// Reads the fields of one body. Every read checks the bytes left, so a body
// that lies about its own field lengths cannot read past its end.
class BodyReader {
 public:
  BodyReader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

  bool U32(uint32_t* v) {
    if (end_ - p_ < 4)
      return false;
    *v = static_cast<uint32_t>(p_[0]) | static_cast<uint32_t>(p_[1]) << 8 |
         static_cast<uint32_t>(p_[2]) << 16 | static_cast<uint32_t>(p_[3]) << 24;
    p_ += 4;
    return true;
  }
  bool I32(int32_t* v) {
    uint32_t u;
    if (!U32(&u))
      return false;
    *v = static_cast<int32_t>(u);
    return true;
  }
  bool U64(uint64_t* v) {
    uint32_t lo, hi;
    if (!U32(&lo) || !U32(&hi))
      return false;
    *v = static_cast<uint64_t>(hi) << 32 | lo;
    return true;
  }
  // Texts are handed to the API as NUL-terminated strings, so an embedded NUL
  // would silently cut them; such a frame is malformed.
  bool Text(std::string* v, uint32_t max) {
    uint32_t length;
    if (!U32(&length) || length > max || static_cast<size_t>(end_ - p_) < length)
      return false;
    if (std::memchr(p_, 0, length) != nullptr)
      return false;
    v->assign(reinterpret_cast<const char*>(p_), length);
    p_ += length;
    return true;
  }
  bool AtEnd() const { return p_ == end_; }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

bool ParseBody(FrameType type, BodyReader* r, Frame* f) {
  switch (type) {
    case FrameType::kHello:
      return r->U32(&f->version) && r->Text(&f->name, kMaxNameLength) &&
             r->Text(&f->secret, kMaxNameLength);
    case FrameType::kWelcome:
      return r->U32(&f->version) && r->I32(&f->app_id) && r->I32(&f->protocol_tag) &&
             r->U32(&f->connection_id) && r->Text(&f->name, kMaxNameLength);
    case FrameType::kRefused:
      return r->I32(&f->code) && r->Text(&f->text, kMaxBodyLength);
    case FrameType::kRequest:
      return r->U64(&f->id) && r->Text(&f->method, kMaxMethodLength) && !f->method.empty() &&
             r->Text(&f->text, kMaxBodyLength);
    case FrameType::kReply:
      return r->U64(&f->id) && r->Text(&f->text, kMaxBodyLength);
    case FrameType::kErrorReply:
      return r->U64(&f->id) && r->I32(&f->code) && r->Text(&f->text, kMaxBodyLength);
  }
  return false;
}

bool KnownType(uint8_t type) {
  return type >= static_cast<uint8_t>(FrameType::kHello) &&
         type <= static_cast<uint8_t>(FrameType::kErrorReply);
}

}  // namespace

void AppendHello(std::string* out, uint32_t version, std::string_view app_name,
                 std::string_view secret) {
  size_t body = BeginFrame(out, FrameType::kHello, 12 + app_name.size() + secret.size());
  PutU32(out, version);
  PutText(out, app_name);
  PutText(out, secret);
  EndFrame(out, body);
}

void AppendWelcome(std::string* out, uint32_t version, int32_t app_id, int32_t protocol_tag,
                   uint32_t connection_id, std::string_view host_name) {
  size_t body = BeginFrame(out, FrameType::kWelcome, 20 + host_name.size());
  PutU32(out, version);
  PutU32(out, static_cast<uint32_t>(app_id));
  PutU32(out, static_cast<uint32_t>(protocol_tag));
  PutU32(out, connection_id);
  PutText(out, host_name);
  EndFrame(out, body);
}

void AppendRefused(std::string* out, int32_t code, std::string_view reason) {
  size_t body = BeginFrame(out, FrameType::kRefused, 8 + reason.size());
  PutU32(out, static_cast<uint32_t>(code));
  PutText(out, reason);
  EndFrame(out, body);
}

void AppendRequest(std::string* out, uint64_t id, std::string_view method,
                   std::string_view payload) {
  size_t body = BeginFrame(out, FrameType::kRequest, 16 + method.size() + payload.size());
  PutU64(out, id);
  PutText(out, method);
  PutText(out, payload);
  EndFrame(out, body);
}

void AppendReply(std::string* out, uint64_t id, std::string_view text) {
  size_t body = BeginFrame(out, FrameType::kReply, 12 + text.size());
  PutU64(out, id);
  PutText(out, text);
  EndFrame(out, body);
}

void AppendErrorReply(std::string* out, uint64_t id, int32_t code, std::string_view reason) {
  size_t body = BeginFrame(out, FrameType::kErrorReply, 16 + reason.size());
  PutU64(out, id);
  PutU32(out, static_cast<uint32_t>(code));
  PutText(out, reason);
  EndFrame(out, body);
}

void AppendFrame(std::string* out, const Frame& f) {
  switch (f.type) {
    case FrameType::kHello:
      return AppendHello(out, f.version, f.name, f.secret);
    case FrameType::kWelcome:
      return AppendWelcome(out, f.version, f.app_id, f.protocol_tag, f.connection_id, f.name);
    case FrameType::kRefused:
      return AppendRefused(out, f.code, f.text);
    case FrameType::kRequest:
      return AppendRequest(out, f.id, f.method, f.text);
    case FrameType::kReply:
      return AppendReply(out, f.id, f.text);
    case FrameType::kErrorReply:
      return AppendErrorReply(out, f.id, f.code, f.text);
  }
}

void FrameDecoder::Append(const void* data, size_t size) {
  if (failed_ || size == 0)
    return;
  std::memcpy(Prepare(size), data, size);
  Commit(size);
}

char* FrameDecoder::Prepare(size_t size) {
  // Drop what has been consumed before growing, so the buffer holds no more
  // than the incomplete frame and the new bytes.
  if (offset_ > 0 && (offset_ == size_ || offset_ >= size_ / 2)) {
    if (offset_ < size_)
      std::memmove(buffer_.get(), buffer_.get() + offset_, size_ - offset_);
    size_ -= offset_;
    offset_ = 0;
  }
  if (capacity_ - size_ < size) {
    size_t capacity = std::max(size_ + size, capacity_ + capacity_ / 2);
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (size_ > 0)
      std::memcpy(grown.get(), buffer_.get(), size_);
    buffer_ = std::move(grown);
    capacity_ = capacity;
  }
  return buffer_.get() + size_;
}

void FrameDecoder::Commit(size_t size) {
  if (failed_)
    return;
  size_ += std::min(size, capacity_ - size_);
}

size_t FrameDecoder::missing() const {
  size_t available = size_ - offset_;
  if (failed_ || available < kHeaderSize)
    return 0;
  const auto* h = reinterpret_cast<const uint8_t*>(buffer_.get()) + offset_;
  uint32_t length = HeaderBodyLength(h);
  size_t whole = kHeaderSize + static_cast<size_t>(length);
  return whole > available ? whole - available : 0;
}

FrameDecoder::Result FrameDecoder::Fail(std::string why) {
  failed_ = true;
  error_ = std::move(why);
  buffer_.reset();
  capacity_ = 0;
  size_ = 0;
  offset_ = 0;
  return Result::kError;
}

FrameDecoder::Result FrameDecoder::Next(Frame* frame) {
  if (failed_)
    return Result::kError;
  size_t available = size_ - offset_;
  if (available < kHeaderSize) {
    // Refuse garbage as early as its first bytes allow, not only once a
    // whole header has arrived.
    const auto* p = reinterpret_cast<const uint8_t*>(buffer_.get()) + offset_;
    if (available >= 1 && p[0] != (kFrameMagic & 0xff))
      return Fail("bad frame magic");
    if (available >= 2 && p[1] != (kFrameMagic >> 8))
      return Fail("bad frame magic");
    return Result::kNeedMore;
  }
  const auto* h = reinterpret_cast<const uint8_t*>(buffer_.get()) + offset_;
  uint16_t magic = static_cast<uint16_t>(h[0] | h[1] << 8);
  if (magic != kFrameMagic)
    return Fail("bad frame magic");
  if (!KnownType(h[2]))
    return Fail("unknown frame type " + std::to_string(h[2]));
  if (h[3] != 0)
    return Fail("unknown frame flags");
  uint32_t length = HeaderBodyLength(h);
  if (length > max_body_length_)
    return Fail("frame body of " + std::to_string(length) + " bytes exceeds the limit of " +
                std::to_string(max_body_length_));
  if (available - kHeaderSize < length)
    return Result::kNeedMore;

  auto type = static_cast<FrameType>(h[2]);
  Frame parsed;
  parsed.type = type;
  BodyReader reader(h + kHeaderSize, length);
  if (!ParseBody(type, &reader, &parsed) || !reader.AtEnd())
    return Fail("malformed frame of type " + std::to_string(h[2]));
  offset_ += kHeaderSize + length;
  *frame = std::move(parsed);
  return Result::kFrame;
}

}  // namespace wire
}  // namespace ipc_core
