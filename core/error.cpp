#include "core/error.hpp"

#include <utility>

namespace velnor {

Error Error::invalid_format(std::string text) {
  Error e;
  e.kind_ = Kind::InvalidFormat;
  e.text_ = std::move(text);
  return e;
}

Error Error::invalid_signature() {
  Error e;
  e.kind_ = Kind::InvalidSignature;
  return e;
}

Error Error::base64(Base64Error b64) {
  Error e;
  e.kind_ = Kind::Base64;
  e.b64_ = b64;
  return e;
}

std::string Error::display() const {
  switch (kind_) {
    case Kind::InvalidFormat:
      return "invalid token format: " + text_;
    case Kind::InvalidSignature:
      return "invalid signature";
    case Kind::Base64:
      return "base64 decode failed: " + b64_.display();
  }
  return "invalid signature";
}

}  // namespace velnor
