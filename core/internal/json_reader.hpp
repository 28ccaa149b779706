// Typed readers of the three JSON documents the library accepts (tokens,
// receipts, context input), on one shared layer over Boost.JSON's event
// parser. Every error is the reader's description followed by
// " at line L column C" (1-based, in the decoded JSON text).
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace velnor {
struct Capability;
struct Receipt;
struct CtxIn;
}  // namespace velnor

namespace velnor::json {

std::expected<Capability, std::string> read_capability(std::string_view text);
std::expected<Receipt, std::string> read_receipt(std::string_view text);
std::expected<CtxIn, std::string> read_ctx_in(std::string_view text);

}  // namespace velnor::json
