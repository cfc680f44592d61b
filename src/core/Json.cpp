#include "core/Json.hpp"

#include <cmath>
#include <limits>

namespace fv::jsonx {
namespace {
[[noreturn]] void wrongType(std::string_view key, const char* expected, const json& v) {
    throw DecodeError("wrong type for key \"" + std::string(key) + "\": expected " + expected + ", found " +
                      v.type_name());
}
}  // namespace

json parse(std::string_view text) {
    try {
        return json::parse(text.begin(), text.end());
    } catch (const json::exception& e) {
        throw DecodeError(std::string("invalid JSON: ") + e.what());
    }
}

const json& requireObject(const json& v, std::string_view what) {
    if (!v.is_object()) throw DecodeError("expected a JSON object for " + std::string(what) + ", found " + v.type_name());
    return v;
}

std::string Value<std::string>::get(const json& v, std::string_view key) {
    if (!v.is_string()) wrongType(key, "string", v);
    return v.get<std::string>();
}

int64_t Value<int64_t>::get(const json& v, std::string_view key) {
    if (v.is_number_integer() && !v.is_number_unsigned()) return v.get<int64_t>();
    if (v.is_number_unsigned()) {
        auto u = v.get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            throw DecodeError("number for key \"" + std::string(key) + "\" does not fit a 64-bit integer");
        return static_cast<int64_t>(u);
    }
    if (v.is_number_float()) {
        // An integral float (3.0) is a number the server meant as an integer; 3.5 is not.
        double d = v.get<double>();
        if (std::isfinite(d) && std::trunc(d) == d && d >= -9.2e18 && d <= 9.2e18) return static_cast<int64_t>(d);
        throw DecodeError("number for key \"" + std::string(key) + "\" is not an integer");
    }
    wrongType(key, "integer", v);
}

int Value<int>::get(const json& v, std::string_view key) {
    int64_t x = Value<int64_t>::get(v, key);
    if (x < std::numeric_limits<int>::min() || x > std::numeric_limits<int>::max())
        throw DecodeError("number for key \"" + std::string(key) + "\" is out of range");
    return static_cast<int>(x);
}

double Value<double>::get(const json& v, std::string_view key) {
    if (!v.is_number()) wrongType(key, "number", v);
    return v.get<double>();
}

bool Value<bool>::get(const json& v, std::string_view key) {
    if (!v.is_boolean()) wrongType(key, "boolean", v);
    return v.get<bool>();
}

namespace {
std::optional<bool> readBoolOrInt(const json& v) {
    if (v.is_boolean()) return v.get<bool>();
    if (v.is_number_integer()) return v.get<int64_t>() != 0;
    if (v.is_number_float()) {
        double d = v.get<double>();
        if (std::trunc(d) == d) return d != 0;
    }
    return std::nullopt;
}
}  // namespace

bool boolOrInt(const json& obj, std::string_view key, bool def) {
    const json* v = find(obj, key);
    if (!v) return def;
    if (auto b = readBoolOrInt(*v)) return *b;
    wrongType(key, "boolean or integer", *v);
}

bool boolOrIntLenient(const json& obj, std::string_view key, bool def) {
    const json* v = find(obj, key);
    if (!v) return def;
    return readBoolOrInt(*v).value_or(def);
}

bool intOrBoolLenient(const json& obj, std::string_view key, bool def) { return boolOrIntLenient(obj, key, def); }

}  // namespace fv::jsonx
