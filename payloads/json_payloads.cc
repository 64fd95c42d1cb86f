#include "payloads/json_payloads.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string_view>
#include <vector>

namespace snipping_tool {
namespace {

using JsonValue = rapidjson::Value;
using Allocator = rapidjson::Document::AllocatorType;

// How a member is written and which JSON values it accepts when read.
enum class Kind {
  kBoolean,     // bool: true / false
  kInt32,       // int32_t: an integer in the 32-bit range
  kInt64,       // int64_t: an integer in the 64-bit range
  kString,      // std::string: a string, up to its first NUL
  kSwitchMap,   // std::map<std::string, bool>: an object of booleans
  kRecord,      // a nested record: an object, by the record's own bindings
  kRecordList,  // std::vector of a record: an array of objects
};

template <typename T>
struct KindOf {
  static constexpr Kind value = Kind::kRecord;
};
template <>
struct KindOf<bool> {
  static constexpr Kind value = Kind::kBoolean;
};
template <>
struct KindOf<int32_t> {
  static constexpr Kind value = Kind::kInt32;
};
template <>
struct KindOf<int64_t> {
  static constexpr Kind value = Kind::kInt64;
};
template <>
struct KindOf<std::string> {
  static constexpr Kind value = Kind::kString;
};
template <>
struct KindOf<std::map<std::string, bool>> {
  static constexpr Kind value = Kind::kSwitchMap;
};
template <typename T>
struct KindOf<std::vector<T>> {
  static constexpr Kind value = Kind::kRecordList;
};

template <typename MemberPointer>
struct MemberTraits;
template <typename R, typename M>
struct MemberTraits<M R::*> {
  using Record = R;
  using Member = M;
};

// One entry of a record's table: the JSON key and how to move the member
// between the record and a JSON value.
template <typename Record>
struct Binding {
  const char* key;
  void (*write)(const Record& record, JsonValue* out, Allocator& allocator);
  void (*read)(const JsonValue& in, Record* record);
};

// Each record's table, in member order; specialised below.
template <typename Record>
struct RecordBindings;

// Every string the agent writes or reads stops at its first NUL, as it
// would once handed through the runtime's C-string interface.
std::string_view UpToNul(const char* text, size_t length) {
  return std::string_view(text, strnlen(text, length));
}

template <typename Record>
void WriteRecord(const Record& record, JsonValue* out, Allocator& allocator);
template <typename Record>
void ReadRecord(const JsonValue& in, Record* record);

void WriteValue(bool value, JsonValue* out, Allocator&) {
  out->SetBool(value);
}

void WriteValue(int32_t value, JsonValue* out, Allocator&) {
  out->SetInt(value);
}

void WriteValue(int64_t value, JsonValue* out, Allocator&) {
  out->SetInt64(value);
}

void WriteValue(const std::string& value, JsonValue* out, Allocator& allocator) {
  const std::string_view text = UpToNul(value.data(), value.size());
  out->SetString(text.data(), static_cast<rapidjson::SizeType>(text.size()), allocator);
}

// std::map orders its keys byte-wise (char_traits<char> compares as
// unsigned char), which is the order the tool expects.
void WriteValue(const std::map<std::string, bool>& switches, JsonValue* out,
                Allocator& allocator) {
  out->SetObject();
  for (const auto& [name, on] : switches) {
    JsonValue key;
    WriteValue(name, &key, allocator);
    out->AddMember(key, JsonValue(on), allocator);
  }
}

template <typename Record>
void WriteValue(const std::vector<Record>& records, JsonValue* out, Allocator& allocator) {
  out->SetArray();
  out->Reserve(static_cast<rapidjson::SizeType>(records.size()), allocator);
  for (const Record& record : records) {
    JsonValue element;
    WriteRecord(record, &element, allocator);
    out->PushBack(element, allocator);
  }
}

template <typename Record>
void WriteValue(const Record& record, JsonValue* out, Allocator& allocator) {
  WriteRecord(record, out, allocator);
}

void ReadValue(const JsonValue& in, bool* out) {
  if (in.IsBool())
    *out = in.GetBool();
}

// IsInt() and IsInt64() hold only for numbers written without a fraction or
// an exponent that fit the type: 7.0, 2147483648 and "7" are not int32.
void ReadValue(const JsonValue& in, int32_t* out) {
  if (in.IsInt())
    *out = in.GetInt();
}

void ReadValue(const JsonValue& in, int64_t* out) {
  if (in.IsInt64())
    *out = in.GetInt64();
}

void ReadValue(const JsonValue& in, std::string* out) {
  if (in.IsString())
    *out = UpToNul(in.GetString(), in.GetStringLength());
}

// Members that are not booleans are left out; a repeated name keeps its
// first value, as a record's repeated key does.
void ReadValue(const JsonValue& in, std::map<std::string, bool>* out) {
  if (!in.IsObject())
    return;
  std::map<std::string, bool> switches;
  for (const auto& member : in.GetObject()) {
    if (member.value.IsBool()) {
      switches.emplace(UpToNul(member.name.GetString(), member.name.GetStringLength()),
                       member.value.GetBool());
    }
  }
  *out = std::move(switches);
}

// Elements that are not objects are left out. Nothing here recurses into
// the elements' own arrays, so nesting depth in the text costs no stack.
template <typename Record>
void ReadValue(const JsonValue& in, std::vector<Record>* out) {
  if (!in.IsArray())
    return;
  std::vector<Record> records;
  for (const JsonValue& element : in.GetArray()) {
    if (element.IsObject()) {
      records.emplace_back();
      ReadRecord(element, &records.back());
    }
  }
  *out = std::move(records);
}

template <typename Record>
void ReadValue(const JsonValue& in, Record* record) {
  ReadRecord(in, record);
}

template <auto kMember>
void WriteMember(const typename MemberTraits<decltype(kMember)>::Record& record, JsonValue* out,
                 Allocator& allocator) {
  WriteValue(record.*kMember, out, allocator);
}

template <auto kMember>
void ReadMember(const JsonValue& in, typename MemberTraits<decltype(kMember)>::Record* record) {
  ReadValue(in, &(record->*kMember));
}

// A table row: key, member and kind. The kind is stated for the reader of
// the table and checked against the member's type.
template <auto kMember, Kind kKind>
constexpr Binding<typename MemberTraits<decltype(kMember)>::Record> Bind(const char* key) {
  static_assert(KindOf<typename MemberTraits<decltype(kMember)>::Member>::value == kKind,
                "the kind does not match the member's type");
  return {key, &WriteMember<kMember>, &ReadMember<kMember>};
}

template <typename Record>
void WriteRecord(const Record& record, JsonValue* out, Allocator& allocator) {
  out->SetObject();
  for (const Binding<Record>& binding : RecordBindings<Record>::kList) {
    JsonValue value;
    binding.write(record, &value, allocator);
    out->AddMember(JsonValue(binding.key, allocator), value, allocator);
  }
}

template <typename Record>
void ReadRecord(const JsonValue& in, Record* record) {
  if (!in.IsObject())
    return;
  for (const Binding<Record>& binding : RecordBindings<Record>::kList) {
    // FindMember searches in document order, so a repeated key yields its
    // first occurrence.
    const auto member = in.FindMember(binding.key);
    if (member == in.MemberEnd() || member->value.IsNull())
      continue;
    binding.read(member->value, record);
  }
}

// The tables. Nested records come before the records that hold them.

template <>
struct RecordBindings<AISkill> {
  static constexpr Binding<AISkill> kList[] = {
      Bind<&AISkill::name, Kind::kString>("name"),
      Bind<&AISkill::skillData, Kind::kString>("skillData"),
      Bind<&AISkill::iconBitmapData, Kind::kString>("iconBitmapData"),
  };
};

template <>
struct RecordBindings<AIAgentInfo> {
  static constexpr Binding<AIAgentInfo> kList[] = {
      Bind<&AIAgentInfo::name, Kind::kString>("name"),
      Bind<&AIAgentInfo::agentCode, Kind::kString>("agentCode"),
      Bind<&AIAgentInfo::iconBitmapData, Kind::kString>("iconBitmapData"),
  };
};

template <>
struct RecordBindings<AIScreenShotRequest> {
  static constexpr Binding<AIScreenShotRequest> kList[] = {
      Bind<&AIScreenShotRequest::skills, Kind::kRecordList>("skills"),
      Bind<&AIScreenShotRequest::agentInfo, Kind::kRecord>("agentInfo"),
  };
};

template <>
struct RecordBindings<RequestSnippingShot> {
  static constexpr Binding<RequestSnippingShot> kList[] = {
      Bind<&RequestSnippingShot::image_save_path, Kind::kString>("image_save_path"),
      Bind<&RequestSnippingShot::screen_shot_type, Kind::kInt32>("screen_shot_type"),
      Bind<&RequestSnippingShot::is_dark_theme, Kind::kBoolean>("is_dark_theme"),
      Bind<&RequestSnippingShot::grays, Kind::kSwitchMap>("grays"),
      Bind<&RequestSnippingShot::vip_status, Kind::kInt32>("vip_status"),
      Bind<&RequestSnippingShot::ai_screen_shot_request, Kind::kRecord>(
          "ai_screen_shot_request"),
  };
};

template <>
struct RecordBindings<ResponseAISnippingShot> {
  static constexpr Binding<ResponseAISnippingShot> kList[] = {
      Bind<&ResponseAISnippingShot::succ, Kind::kBoolean>("succ"),
      Bind<&ResponseAISnippingShot::seq_id, Kind::kInt32>("seq_id"),
      Bind<&ResponseAISnippingShot::ai_type, Kind::kInt32>("ai_type"),
      Bind<&ResponseAISnippingShot::data, Kind::kString>("data"),
      Bind<&ResponseAISnippingShot::dest_lan, Kind::kString>("dest_lan"),
      Bind<&ResponseAISnippingShot::image_type, Kind::kString>("image_type"),
      Bind<&ResponseAISnippingShot::image_save_path, Kind::kString>("image_save_path"),
  };
};

template <>
struct RecordBindings<SelectUserWndHideSnippingShot> {
  static constexpr Binding<SelectUserWndHideSnippingShot> kList[] = {
      Bind<&SelectUserWndHideSnippingShot::exit_screen_tool, Kind::kBoolean>(
          "exit_screen_tool"),
  };
};

template <>
struct RecordBindings<NotifySnippingShot> {
  static constexpr Binding<NotifySnippingShot> kList[] = {
      Bind<&NotifySnippingShot::image_file_path, Kind::kString>("image_file_path"),
      Bind<&NotifySnippingShot::snipping_event, Kind::kInt32>("snipping_event"),
      Bind<&NotifySnippingShot::ai_skill_data, Kind::kString>("ai_skill_data"),
      Bind<&NotifySnippingShot::pos_x, Kind::kInt32>("pos_x"),
      Bind<&NotifySnippingShot::pos_y, Kind::kInt32>("pos_y"),
  };
};

template <>
struct RecordBindings<RequestAISnippingShot> {
  static constexpr Binding<RequestAISnippingShot> kList[] = {
      Bind<&RequestAISnippingShot::seq_id, Kind::kInt32>("seq_id"),
      Bind<&RequestAISnippingShot::ai_type, Kind::kInt32>("ai_type"),
      Bind<&RequestAISnippingShot::text, Kind::kString>("text"),
      Bind<&RequestAISnippingShot::src_lan, Kind::kString>("src_lan"),
      Bind<&RequestAISnippingShot::dest_lan, Kind::kString>("dest_lan"),
      Bind<&RequestAISnippingShot::image_type, Kind::kString>("image_type"),
      Bind<&RequestAISnippingShot::image_save_path, Kind::kString>("image_save_path"),
  };
};

template <>
struct RecordBindings<SelectUserWndSnippingShot> {
  static constexpr Binding<SelectUserWndSnippingShot> kList[] = {
      Bind<&SelectUserWndSnippingShot::parent_wnd, Kind::kInt64>("parent_wnd"),
      Bind<&SelectUserWndSnippingShot::file_path, Kind::kString>("file_path"),
      Bind<&SelectUserWndSnippingShot::file_type, Kind::kInt32>("file_type"),
  };
};

template <>
struct RecordBindings<BILogPayload> {
  static constexpr Binding<BILogPayload> kList[] = {
      Bind<&BILogPayload::key, Kind::kString>("key"),
  };
};

template <>
struct RecordBindings<SetConfigPayload> {
  static constexpr Binding<SetConfigPayload> kList[] = {
      Bind<&SetConfigPayload::config_json, Kind::kString>("config_json"),
  };
};

template <typename Record>
bool ReadPayload(const std::string& text, Record* record) {
  // The runtime hands payloads on as C strings, so a NUL ends the text: the
  // NUL-terminated parse reads up to it. (The length-taking parse would also
  // skip a leading UTF-8 byte-order mark, which a payload must not carry.)
  rapidjson::Document document;
  // Iterative parsing keeps its state on the heap: a text of deeply nested
  // brackets from the tool cannot run the handler's thread out of stack.
  document.Parse<rapidjson::kParseDefaultFlags | rapidjson::kParseIterativeFlag>(text.c_str());
  // The refusal is the caller's to report: each handler's log lines are
  // its own, and some go on with the defaults by design.
  if (document.HasParseError())
    return false;
  ReadRecord(document, record);
  return true;
}

template <typename Record>
std::string WritePayload(const Record& record) {
  rapidjson::Document document;
  WriteRecord(record, &document, document.GetAllocator());
  rapidjson::StringBuffer buffer;
  // Default flags: no encoding validation, so the bytes of the members go
  // out unchanged apart from the standard escapes.
  rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>> writer(buffer);
  document.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

bool JsonStrToClass(const std::string& text, NotifySnippingShot& record) {
  return ReadPayload(text, &record);
}
bool JsonStrToClass(const std::string& text, RequestAISnippingShot& record) {
  return ReadPayload(text, &record);
}
bool JsonStrToClass(const std::string& text, SelectUserWndSnippingShot& record) {
  return ReadPayload(text, &record);
}
bool JsonStrToClass(const std::string& text, BILogPayload& record) {
  return ReadPayload(text, &record);
}
bool JsonStrToClass(const std::string& text, SetConfigPayload& record) {
  return ReadPayload(text, &record);
}
bool JsonStrToClass(const std::string& text, RequestSnippingShot& record) {
  return ReadPayload(text, &record);
}
bool JsonStrToClass(const std::string& text, ResponseAISnippingShot& record) {
  return ReadPayload(text, &record);
}
bool JsonStrToClass(const std::string& text, SelectUserWndHideSnippingShot& record) {
  return ReadPayload(text, &record);
}

std::string JsonClassToStr(const RequestSnippingShot& record) {
  return WritePayload(record);
}
std::string JsonClassToStr(const ResponseAISnippingShot& record) {
  return WritePayload(record);
}
std::string JsonClassToStr(const SelectUserWndHideSnippingShot& record) {
  return WritePayload(record);
}
std::string JsonClassToStr(const NotifySnippingShot& record) {
  return WritePayload(record);
}
std::string JsonClassToStr(const RequestAISnippingShot& record) {
  return WritePayload(record);
}
std::string JsonClassToStr(const SelectUserWndSnippingShot& record) {
  return WritePayload(record);
}
std::string JsonClassToStr(const BILogPayload& record) {
  return WritePayload(record);
}
std::string JsonClassToStr(const SetConfigPayload& record) {
  return WritePayload(record);
}

}  // namespace snipping_tool
