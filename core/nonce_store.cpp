#include "core/nonce_store.hpp"

namespace velnor {

// Anchors the vtable in the library.
NonceStore::~NonceStore() = default;

}  // namespace velnor
