// The capability's records as JSON, for the documents that embed them (a
// receipt carries the caveats of the capability it decided on).
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <tuple>

#include "core/capability.hpp"
#include "core/internal/json_reader.hpp"

namespace velnor {

struct CaveatSchema : json::RecordRules {
  using Record = Caveat;
  static constexpr std::string_view kName = "struct Caveat";
  static constexpr std::tuple kFields{json::field<&Caveat::predicate, json::String>("predicate")};
};

using CaveatListSink = json::List<json::Record<CaveatSchema>>;

// `[{"predicate":…},…]`, compact.
void write_caveats_json(std::string& out, std::span<const Caveat> caveats);

}  // namespace velnor
