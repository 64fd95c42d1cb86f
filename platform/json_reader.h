// A minimal JSON value reader over RapidJSON, for configuration texts the
// host hands in. Parsing is iterative: deep nesting cannot exhaust a stack.
#ifndef PLATFORM_JSON_READER_H_
#define PLATFORM_JSON_READER_H_

#include <memory>
#include <string>
#include <string_view>

namespace base {

class DictionaryValue;

// A parsed JSON value.
class Value {
 public:
  virtual ~Value();
  bool is_dict() const;

 protected:
  struct Impl;
  explicit Value(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;

  friend class JSONReader;
  friend class DictionaryValue;
};

// A JSON object.
class DictionaryValue : public Value {
 public:
  ~DictionaryValue() override;
  // The dictionary view of |value|, or null when it is not an object.
  static std::unique_ptr<DictionaryValue> From(std::unique_ptr<Value> value);
  // True and |out| set when |key| names a string member.
  bool GetString(std::string_view key, std::string* out) const;

 private:
  using Value::Value;
};

class JSONReader {
 public:
  // The value of |json| (RapidJSON's default syntax), or null when malformed.
  static std::unique_ptr<Value> Read(std::string_view json);
};

}  // namespace base

#endif  // PLATFORM_JSON_READER_H_
