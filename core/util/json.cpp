#include "core/util/json.h"

#include "core/crypto/base64.h"

namespace lumenbrook {
namespace json {

const Json& requireObject(const Json& j) {
  if (!j.is_object()) throw JsonError("expected an object");
  return j;
}

const Json& member(const Json& j, std::string_view key) {
  const Json& obj = requireObject(j);
  auto it = obj.find(key);
  if (it == obj.end()) throw JsonError("missing member \"" + std::string(key) + "\"");
  return *it;
}

const Json* optionalMember(const Json& j, std::string_view key) {
  const Json& obj = requireObject(j);
  auto it = obj.find(key);
  if (it == obj.end() || it->is_null()) return nullptr;
  return &*it;
}

std::string_view caseKey(const Json& j, std::initializer_list<std::string_view> cases) {
  const Json& obj = requireObject(j);
  std::string_view found;
  int count = 0;
  for (auto name : cases) {
    if (obj.contains(name)) {
      found = name;
      ++count;
    }
  }
  if (count != 1) throw JsonError(std::string(kInvalidNumberOfKeys));
  return found;
}

std::string readString(const Json& j) {
  if (!j.is_string()) throw JsonError("expected a string");
  return j.get<std::string>();
}

bool readBool(const Json& j) {
  if (!j.is_boolean()) throw JsonError("expected a boolean");
  return j.get<bool>();
}

double readDouble(const Json& j) {
  if (!j.is_number()) throw JsonError("expected a number");
  return j.get<double>();
}

Bytes readBytes(const Json& j) {
  if (!j.is_string()) throw JsonError("expected base64 text");
  auto b = base64Decode(j.get_ref<const std::string&>());
  if (!b) throw JsonError("invalid base64");
  return std::move(*b);
}

Uuid readUuid(const Json& j) {
  if (!j.is_string()) throw JsonError("expected a UUID string");
  auto u = Uuid::parse(j.get_ref<const std::string&>());
  if (!u) throw JsonError("invalid UUID");
  return *u;
}

Json writeBytes(ByteView b) { return base64Encode(b); }

Json writeDouble(double d) {
  if (!std::isfinite(d)) throw JsonError("a non-finite number cannot be written as JSON");
  return d;
}

Json writeCase(std::string_view name, Json payload) {
  Json j = Json::object();
  j[std::string(name)] = std::move(payload);
  return j;
}

}  // namespace json

std::optional<Json> parseJson(std::string_view text) {
  Json j = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) return std::nullopt;
  return j;
}

std::string dumpJson(const Json& j) {
  try {
    return j.dump();
  } catch (const Json::exception& e) {
    throw JsonError(e.what());
  }
}

void to_json(Json& j, const Uuid& u) { j = u.text(); }
void from_json(const Json& j, Uuid& u) { u = json::readUuid(j); }

}  // namespace lumenbrook
