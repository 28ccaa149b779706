// Typed readers of the three JSON documents the library accepts (tokens,
// receipts, context input), on one shared layer over Boost.JSON's event
// parser. Every error is the reader's description followed by
// " at line L column C" (1-based, in the decoded JSON text).
//
// Position: L and C locate the last byte the reader had consumed when it
// detected the fault. C counts bytes since the last line feed (a line feed
// is the last column of the line it ends); nothing consumed is column 0.
// So a fault found in a value points at the value's last byte (the closing
// quote of a string or key, the last digit of a number, the last letter of
// a literal), a container of the wrong type at its opening bracket, a
// missing field or wrong length at the closing bracket, a syntax fault at the
// offending byte, trailing characters at the first of them, and an
// unexpected end at the last byte of the text.
//
// What is accepted, for all three documents: one RFC 8259 value with
// optional whitespace around it; valid UTF-8 only, and no lone surrogate
// escapes. Members come in any order; members the record does not know are
// skipped at every level (still checked for well-formedness, nested to any
// depth); a known member twice is refused, also when its first value was
// null. A record may instead be written as an array of its members in
// declaration order. Numbers of any size and any exponent are accepted
// where they are kept as text or skipped.
//
// Descriptions:
//   syntax     "expected value", "key must be a string", "expected `:`",
//              "expected `,` or `]`", "expected `,` or `}`", "invalid number",
//              "invalid escape", "invalid unicode code point", "invalid UTF-8",
//              "control character (\u0000-\u001F) found while parsing a string",
//              "EOF while parsing a value" (also "a string", "a list",
//              "an object"), "trailing characters",
//              "recursion limit exceeded" (context input only)
//   records    "missing field `x`" (first missing in declaration order),
//              "duplicate field `x`",
//              "invalid type: {found}, expected {thing}",
//              "invalid value: integer `256`, expected u8",
//              "invalid length N, expected {thing with K elements}" for an
//              array form with N elements, too few or too many,
//              "unknown variant `x`, expected `allowed` or `denied`",
//              "hex string has odd length", "invalid digit found in string"
//   {found}    null, boolean `true`, integer `5`, floating point `1.5`
//              (numbers as written), string "abc" (quoted with escapes),
//              sequence, map
//   {thing}    a string, a hex string, u8, u64, a sequence, a map,
//              struct Capability, struct Caveat, struct Receipt,
//              struct ContextSummary, struct CtxIn,
//              internally tagged enum Outcome, variant identifier
//
// Outcome: an object carrying "kind" ("allowed" or "denied", anywhere among
// its members) and, for "denied", "reason"; faults of "reason" count only for
// a denied outcome and are then reported at the closing brace. Its array
// form is ["allowed"] or ["denied", reason].
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace velnor {
struct Capability;
struct Receipt;
struct CtxIn;
struct Proof;
}  // namespace velnor

namespace velnor::json {

std::expected<Capability, std::string> read_capability(std::string_view text);
std::expected<Receipt, std::string> read_receipt(std::string_view text);
std::expected<CtxIn, std::string> read_ctx_in(std::string_view text);
// Proof documents: nonce exactly 16 bytes, signature exactly 64, else
// "invalid length N, expected 16 bytes" (or 64).
std::expected<Proof, std::string> read_proof(std::string_view text);

}  // namespace velnor::json
