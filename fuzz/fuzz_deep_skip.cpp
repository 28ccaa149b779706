// Differential: a value read as an unknown member, nested deeper than one
// parser run of the windowed reader reaches, against one plain run of
// Boost's parser over the same value. The first byte picks the nesting
// depth; the rest is the value. The readers must accept exactly the values
// the plain run accepts, in every place an unknown member can stand.
#include <boost/json/basic_parser_impl.hpp>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "core/audit.hpp"
#include "core/capability.hpp"
#include "core/context.hpp"
#include "core/internal/json_reader.hpp"

namespace {

namespace bj = boost::json;

// Accepts every event: only the verdict of the grammar matters.
struct Plain {
  static constexpr std::size_t max_array_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_object_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_string_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_key_size = std::numeric_limits<std::size_t>::max();
  bool on_document_begin(bj::error_code&) { return true; }
  bool on_document_end(bj::error_code&) { return true; }
  bool on_array_begin(bj::error_code&) { return true; }
  bool on_array_end(std::size_t, bj::error_code&) { return true; }
  bool on_object_begin(bj::error_code&) { return true; }
  bool on_object_end(std::size_t, bj::error_code&) { return true; }
  bool on_string_part(bj::string_view, std::size_t, bj::error_code&) { return true; }
  bool on_string(bj::string_view, std::size_t, bj::error_code&) { return true; }
  bool on_key_part(bj::string_view, std::size_t, bj::error_code&) { return true; }
  bool on_key(bj::string_view, std::size_t, bj::error_code&) { return true; }
  bool on_number_part(bj::string_view, bj::error_code&) { return true; }
  bool on_int64(std::int64_t, bj::string_view, bj::error_code&) { return true; }
  bool on_uint64(std::uint64_t, bj::string_view, bj::error_code&) { return true; }
  bool on_double(double, bj::string_view, bj::error_code&) { return true; }
  bool on_bool(bool, bj::error_code&) { return true; }
  bool on_null(bj::error_code&) { return true; }
  bool on_comment_part(bj::string_view, bj::error_code&) { return true; }
  bool on_comment(bj::string_view, bj::error_code&) { return true; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 1 << 16) return 0;
  // 0 to 1275 levels: across several windows, yet shallow enough for one
  // recursive plain run.
  const std::size_t depth = std::size_t{data[0]} * 5;
  const std::string value = std::string(depth, '[') +
                            std::string(reinterpret_cast<const char*>(data + 1), size - 1) +
                            std::string(depth, ']');

  bj::parse_options opt;
  opt.max_depth = std::numeric_limits<std::size_t>::max();
  bj::basic_parser<Plain> plain(opt);
  bj::error_code ec;
  const std::size_t n = plain.write_some(false, value.data(), value.size(), ec);
  // Boost stops at exponents beyond an int, which the readers accept on
  // purpose; such values say nothing about the window.
  if (ec == bj::error::exponent_overflow) return 0;
  // A complete value followed by more text (`"a","b":1`) is no value on its
  // own, yet spliced into a document it reads as further members.
  if (ec == bj::error::extra_data || (!ec && n != value.size())) return 0;
  const bool valid = !ec && n == value.size();

  using velnor::json::read_capability;
  using velnor::json::read_ctx_in;
  using velnor::json::read_receipt;
  const bool results[] = {
      read_capability(R"({"identifier":"x","zz":)" + value + R"(,"caveats":[],"signature":""})").has_value(),
      read_capability(R"({"identifier":"x","caveats":[{"zz":)" + value + R"(,"predicate":"p"}],"signature":""})")
          .has_value(),
      read_ctx_in(R"({"caller":"a","zz":)" + value + R"(,"tool":"t","args":{}})").has_value(),
      read_receipt(R"({"version":1,"capability_identifier":"c","caveats":[],"context_summary":{"caller":"a",)"
                   R"("tool":"t","args_hash":"h"},"outcome":{"zz":)" +
                   value + R"(,"kind":"allowed"},"timestamp_ms":0,"signature":""})")
          .has_value(),
  };
  for (const bool r : results) {
    if (r != valid) __builtin_trap();
  }
  return 0;
}
