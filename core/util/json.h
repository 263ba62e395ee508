#pragma once
// Strict JSON reading and writing shared by every record of the protocol.
//
// Conventions (every type follows them):
// - A type T has `void to_json(nlohmann::json&, const T&)` and
//   `void from_json(const nlohmann::json&, T&)` in namespace lumenbrook, so records nest.
// - from_json throws JsonError on any violation; to_json throws JsonError for values JSON
//   cannot carry (a non-finite Double). Public decoders catch at their boundary and return
//   an error value; nothing past that boundary sees an exception.
// - Enums with payloads are an object with exactly one known case key; unknown members are
//   ignored everywhere; unlabeled payload fields sit under "_0".
// - Never use nlohmann's own get<int>() etc. on untrusted data: use the readers below.

#include <cmath>
#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/util/bytes.h"
#include "core/util/result.h"
#include "core/util/uuid.h"

namespace lumenbrook {

using Json = nlohmann::json;

class JsonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::string_view kInvalidNumberOfKeys =
    "Invalid number of keys found, expected one.";

namespace json {

// REQUIRES nothing: throws JsonError when `j` is not an object or lacks `key`.
const Json& member(const Json& j, std::string_view key);
// Absent when the member is missing or null.
const Json* optionalMember(const Json& j, std::string_view key);
const Json& requireObject(const Json& j);

// The single known case key of an enum object; throws kInvalidNumberOfKeys for zero or two.
std::string_view caseKey(const Json& j, std::initializer_list<std::string_view> cases);

std::string readString(const Json& j);
bool readBool(const Json& j);
double readDouble(const Json& j);  // any JSON number
Bytes readBytes(const Json& j);    // strict padded base64
Uuid readUuid(const Json& j);      // canonical text, any case

// Integral JSON numbers (an integral float such as 7.0 too) that fit T.
template <std::integral T>
T readInt(const Json& j) {
  if (j.is_number_unsigned()) {
    auto v = j.get<std::uint64_t>();
    if (v <= static_cast<std::uint64_t>(std::numeric_limits<T>::max())) return static_cast<T>(v);
  } else if (j.is_number_integer()) {
    auto v = j.get<std::int64_t>();
    if (std::in_range<T>(v)) return static_cast<T>(v);
  } else if (j.is_number_float()) {
    double d = j.get<double>();
    // Exact comparison against the type's range; the bounds of 64-bit types are not all
    // representable, so the upper test is strict against 2^digits.
    constexpr double upper = [] {
      double p = 1.0;
      for (int i = 0; i < std::numeric_limits<T>::digits; ++i) p *= 2.0;
      return p;
    }();
    constexpr double lower = std::numeric_limits<T>::is_signed ? -upper : 0.0;
    if (std::isfinite(d) && std::trunc(d) == d && d >= lower && d < upper) return static_cast<T>(d);
  } else {
    throw JsonError("expected an integer");
  }
  throw JsonError("number does not fit its type");
}

Json writeBytes(ByteView b);
// Throws JsonError for NaN and infinities: JSON has no spelling for them.
Json writeDouble(double d);
// An enum case: {"<name>": payload}.
Json writeCase(std::string_view name, Json payload = Json::object());

}  // namespace json

// Parses JSON text; absent on malformed text (never throws).
std::optional<Json> parseJson(std::string_view text);
// Compact JSON text. Throws JsonError on invalid UTF-8 in strings.
std::string dumpJson(const Json& j);

// Decodes `text` into T through from_json; the error is the decoder's message.
template <class T>
Result<T, std::string> decodeJson(std::string_view text) {
  auto j = parseJson(text);
  if (!j) return Failure{std::string("The given data was not valid JSON.")};
  try {
    T value = j->template get<T>();
    return value;
  } catch (const std::exception& e) {
    return Failure{std::string(e.what())};
  }
}

// Encodes through to_json; the error is why the value cannot be written.
template <class T>
Result<std::string, std::string> encodeJson(const T& value) {
  try {
    // Built into a finished Json: nlohmann leaks when a to_json throws inside Json(value).
    Json j;
    to_json(j, value);
    return dumpJson(j);
  } catch (const std::exception& e) {
    return Failure{std::string(e.what())};
  }
}

// Lets Uuid nest like any record.
void to_json(Json& j, const Uuid& u);
void from_json(const Json& j, Uuid& u);

}  // namespace lumenbrook
