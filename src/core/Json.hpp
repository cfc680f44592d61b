#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace fv {

using json = nlohmann::json;
using ordered_json = nlohmann::ordered_json;

// A record could not be decoded: a required key is missing, a value has the wrong JSON type,
// or an enumeration holds an unknown raw value. The text names the key.
class DecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace jsonx {

// Parses text; a syntax error becomes a DecodeError.
json parse(std::string_view text);

// The decoders of one value by type. Wrong JSON types throw DecodeError naming `key`.
template <typename T>
struct Value;

template <>
struct Value<std::string> {
    static std::string get(const json& v, std::string_view key);
};
template <>
struct Value<int64_t> {
    static int64_t get(const json& v, std::string_view key);
};
template <>
struct Value<int> {
    static int get(const json& v, std::string_view key);
};
template <>
struct Value<double> {
    static double get(const json& v, std::string_view key);
};
template <>
struct Value<bool> {
    static bool get(const json& v, std::string_view key);
};
template <typename T>
struct Value<std::vector<T>> {
    static std::vector<T> get(const json& v, std::string_view key) {
        if (!v.is_array()) throw DecodeError("wrong type for key \"" + std::string(key) + "\": expected array");
        std::vector<T> out;
        out.reserve(v.size());
        for (const auto& e : v) out.push_back(Value<T>::get(e, key));
        return out;
    }
};
template <typename T>
struct Value<std::map<std::string, T>> {
    static std::map<std::string, T> get(const json& v, std::string_view key) {
        if (!v.is_object()) throw DecodeError("wrong type for key \"" + std::string(key) + "\": expected object");
        std::map<std::string, T> out;
        for (auto it = v.begin(); it != v.end(); ++it) out.emplace(it.key(), Value<T>::get(it.value(), key));
        return out;
    }
};

// The object itself must be a JSON object.
const json& requireObject(const json& v, std::string_view what);

// Present and not null.
inline const json* find(const json& obj, std::string_view key) {
    auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return nullptr;
    return &*it;
}

// Missing or null fails.
template <typename T>
T required(const json& obj, std::string_view key) {
    const json* v = find(obj, key);
    if (!v) throw DecodeError("missing key \"" + std::string(key) + "\"");
    return Value<T>::get(*v, key);
}

// Missing or null gives the default; a wrong type still fails.
template <typename T>
T defaulted(const json& obj, std::string_view key, T def) {
    const json* v = find(obj, key);
    return v ? Value<T>::get(*v, key) : std::move(def);
}

// Missing or null gives no value; a wrong type still fails.
template <typename T>
std::optional<T> optional(const json& obj, std::string_view key) {
    const json* v = find(obj, key);
    if (!v) return std::nullopt;
    return Value<T>::get(*v, key);
}

// A JSON boolean or an integer (non-zero is true); missing or null gives def; anything else fails.
bool boolOrInt(const json& obj, std::string_view key, bool def);
// The same, but an unreadable value gives def instead of failing.
bool boolOrIntLenient(const json& obj, std::string_view key, bool def);
// Integer first, then boolean; neither gives def.
bool intOrBoolLenient(const json& obj, std::string_view key, bool def);

// Decodes with T::fromJson, failing with the key in the message.
template <typename T>
T requiredRecord(const json& obj, std::string_view key) {
    const json* v = find(obj, key);
    if (!v) throw DecodeError("missing key \"" + std::string(key) + "\"");
    return T::fromJson(*v);
}
template <typename T>
std::optional<T> optionalRecord(const json& obj, std::string_view key) {
    const json* v = find(obj, key);
    if (!v) return std::nullopt;
    return T::fromJson(*v);
}
template <typename T>
std::vector<T> recordArray(const json& obj, std::string_view key) {
    const json* v = find(obj, key);
    if (!v) throw DecodeError("missing key \"" + std::string(key) + "\"");
    if (!v->is_array()) throw DecodeError("wrong type for key \"" + std::string(key) + "\": expected array");
    std::vector<T> out;
    out.reserve(v->size());
    for (const auto& e : *v) out.push_back(T::fromJson(e));
    return out;
}

// Encoding helpers: optional fields are written only when set.
template <typename J, typename T>
void putOptional(J& obj, const char* key, const std::optional<T>& v) {
    if (v) obj[key] = *v;
}

}  // namespace jsonx
}  // namespace fv
