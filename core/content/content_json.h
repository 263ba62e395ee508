#pragma once
// Strict readers for the list and optional members of the content records, on top of
// core/util/json.h. Like every from_json they throw JsonError on any violation.
//
// The records' to_json functions fill a local object and assign it last: nlohmann calls
// to_json from inside a constructor, where a throw (a non-finite number) would leak whatever
// had already been put into the half-built value.

#include <optional>
#include <string>
#include <vector>

#include "core/util/json.h"

namespace lumenbrook::content_json {

// Each element of the array `j` through its record's from_json.
template <class T>
std::vector<T> readList(const Json& j) {
  if (!j.is_array()) throw JsonError("expected an array");
  std::vector<T> out;
  out.reserve(j.size());
  for (const Json& element : j) {
    T value;
    from_json(element, value);
    out.push_back(std::move(value));
  }
  return out;
}

inline std::vector<std::string> readStrings(const Json& j) {
  if (!j.is_array()) throw JsonError("expected an array");
  std::vector<std::string> out;
  out.reserve(j.size());
  for (const Json& element : j) out.push_back(json::readString(element));
  return out;
}

// Absent when the member is missing or null; otherwise read with from_json.
template <class T>
std::optional<T> readOptional(const Json& j, std::string_view key) {
  const Json* member = json::optionalMember(j, key);
  if (!member) return std::nullopt;
  T value;
  from_json(*member, value);
  return value;
}

template <class T>
Json writeList(const std::vector<T>& items) {
  Json out = Json::array();
  for (const T& item : items) {
    Json element;
    to_json(element, item);
    out.push_back(std::move(element));
  }
  return out;
}

}  // namespace lumenbrook::content_json
