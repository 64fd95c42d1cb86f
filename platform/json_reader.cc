#include "platform/json_reader.h"

#include <rapidjson/document.h>

namespace base {

struct Value::Impl {
  rapidjson::Document document;
};

Value::Value(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Value::~Value() = default;

bool Value::is_dict() const {
  return impl_->document.IsObject();
}

DictionaryValue::~DictionaryValue() = default;

std::unique_ptr<DictionaryValue> DictionaryValue::From(std::unique_ptr<Value> value) {
  if (!value || !value->is_dict())
    return nullptr;
  return std::unique_ptr<DictionaryValue>(new DictionaryValue(std::move(value->impl_)));
}

bool DictionaryValue::GetString(std::string_view key, std::string* out) const {
  const rapidjson::Value& object = impl_->document;
  const auto member = object.FindMember(
      rapidjson::Value(rapidjson::StringRef(key.data(), key.size())));
  if (member == object.MemberEnd() || !member->value.IsString())
    return false;
  out->assign(member->value.GetString(), member->value.GetStringLength());
  return true;
}

std::unique_ptr<Value> JSONReader::Read(std::string_view json) {
  auto impl = std::make_unique<Value::Impl>();
  // Iterative parsing keeps its state on the heap, so a text of deeply
  // nested brackets cannot run the calling thread out of stack.
  impl->document.Parse<rapidjson::kParseIterativeFlag>(json.data(), json.size());
  if (impl->document.HasParseError())
    return nullptr;
  return std::unique_ptr<Value>(new Value(std::move(impl)));
}

}  // namespace base
