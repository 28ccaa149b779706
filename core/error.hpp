// The token layer's error kind. Display texts are part of the external
// interface: Python raises them unchanged as ValueError messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/internal/base64url.hpp"

namespace velnor {

class Error {
 public:
  enum class Kind : std::uint8_t { InvalidFormat, InvalidSignature, Base64 };

  static Error invalid_format(std::string text);
  static Error invalid_signature();
  static Error base64(Base64Error e);

  Kind kind() const { return kind_; }
  const std::string& format_text() const { return text_; }  // InvalidFormat
  const Base64Error& base64_error() const { return b64_; }  // Base64

  // "invalid token format: {}", "invalid signature",
  // "base64 decode failed: {}".
  std::string display() const;

 private:
  Kind kind_ = Kind::InvalidSignature;
  std::string text_;
  Base64Error b64_;
};

}  // namespace velnor
