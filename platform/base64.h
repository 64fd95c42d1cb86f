// Base64 of arbitrary bytes: RFC 4648 standard alphabet, '=' padding.
#ifndef PLATFORM_BASE64_H_
#define PLATFORM_BASE64_H_

#include <string>
#include <string_view>

namespace kvbase {

void Base64EncodeWrapper(std::string_view input, std::string* output);

}  // namespace kvbase

#endif  // PLATFORM_BASE64_H_
