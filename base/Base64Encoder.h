// Base64Encoder: standard Base64 (RFC 4648 alphabet, with padding, no line breaks).
// Decoding ignores characters outside the alphabet (so line breaks and spaces are fine).
//
// Thread-safety: class operations only; safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <keel/base/Value.h>

namespace keel {

class Base64Encoder {
 public:
  // Returns the Base64 text of `data` ("" for empty data).
  static std::string base64StringFromData(const Bytes& data);
  // Returns the decoded bytes (empty for empty text), or no value when the text, with the
  // characters outside the alphabet dropped, is not decodable.
  static std::optional<Bytes> dataFromBase64String(std::string_view text);
};

}  // namespace keel
