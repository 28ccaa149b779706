// Revocation lists: the input is the JSON under the base64url text, so the
// fuzzer works on the reader (every structural check comes before the
// signature). Whatever opens must be sorted without duplicates and sign
// back to a list that opens to the same identifiers and version.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/internal/base64url.hpp"
#include "core/revocation.hpp"

namespace {

using namespace velnor;

const crypto::HmacKey& root() {
  static const crypto::HmacKey k(crypto::as_bytes("fuzz-root"));
  return k;
}

void check(const RevocationList& list) {
  const auto& ids = list.identifiers();
  for (std::size_t i = 1; i < ids.size(); ++i) {
    if (!(ids[i - 1] < ids[i])) __builtin_trap();
  }
  auto again = open_revocation_list(RevocationList::sign(root(), ids, list.version()), root());
  if (!again || again->identifiers() != ids || again->version() != list.version()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 16) return 0;
  const std::string text = base64url::encode({data, size});
  auto list = open_revocation_list(text, root());
  if (list) {
    check(*list);
    return 0;
  }
  (void)list.error().display();
  return 0;
}
