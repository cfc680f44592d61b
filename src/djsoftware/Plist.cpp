#include "djsoftware/Plist.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <sstream>

#include <expat.h>
#include <fmt/format.h>

#include "core/Utf8.hpp"

namespace fv {

PlistValue::PlistValue() = default;
PlistValue::~PlistValue() = default;
PlistValue::PlistValue(const PlistValue&) = default;
PlistValue::PlistValue(PlistValue&&) noexcept = default;
PlistValue& PlistValue::operator=(const PlistValue&) = default;
PlistValue& PlistValue::operator=(PlistValue&&) noexcept = default;


const PlistValue* PlistValue::find(std::string_view key) const {
    for (const auto& [k, v] : dict)
        if (k == key) return &v;
    return nullptr;
}

const std::string* PlistValue::string(std::string_view key) const {
    const PlistValue* v = find(key);
    return v && v->type == Type::string ? &v->text : nullptr;
}

const int64_t* PlistValue::integerValue(std::string_view key) const {
    const PlistValue* v = find(key);
    return v && v->type == Type::integer ? &v->integer : nullptr;
}

bool PlistValue::flag(std::string_view key) const {
    const PlistValue* v = find(key);
    return v && v->type == Type::boolean && v->boolean;
}

namespace {

enum class Element { plist, dict, array, key, string, integer, real, trueValue, falseValue, date, data };

std::optional<Element> elementOf(std::string_view name) {
    static const std::pair<std::string_view, Element> names[] = {
        {"plist", Element::plist},   {"dict", Element::dict},   {"array", Element::array},
        {"key", Element::key},       {"string", Element::string}, {"integer", Element::integer},
        {"real", Element::real},     {"true", Element::trueValue}, {"false", Element::falseValue},
        {"date", Element::date},     {"data", Element::data}};
    for (const auto& [n, e] : names)
        if (n == name) return e;
    return std::nullopt;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && std::strchr(" \t\r\n", s.front())) s.remove_prefix(1);
    while (!s.empty() && std::strchr(" \t\r\n", s.back())) s.remove_suffix(1);
    return s;
}

struct Frame {
    Element element;
    PlistValue value;       // dict or array being filled
    std::string key;        // dict: the key waiting for its value
    bool hasKey = false;
    std::string collection;  // set when the members go to the handler
};

}  // namespace

struct PlistReader::Impl {
    std::vector<std::string> collections;
    MemberHandler handler;
    PlistLimits limits;

    XML_Parser parser = nullptr;
    std::vector<Frame> stack;
    std::optional<Element> scalar;  // the scalar element being read
    std::string text;
    std::optional<PlistValue> root;
    bool sawPlist = false;
    std::size_t nodes = 0;
    std::string error;  // the first failure; stops the parser

    void fail(std::string message) {
        if (error.empty()) error = std::move(message);
        XML_StopParser(parser, XML_FALSE);
    }
    bool failed() const { return !error.empty(); }

    void start(const char* name) {
        if (failed()) return;
        auto e = elementOf(name);
        if (!e) return fail(fmt::format("unbekanntes Element <{}>", name));
        if (scalar) return fail(fmt::format("<{}> innerhalb eines Werts", name));
        if (*e == Element::plist) {
            if (sawPlist || !stack.empty()) return fail("<plist> an falscher Stelle");
            sawPlist = true;
            stack.push_back({Element::plist, {}, {}, false, {}});
            return;
        }
        if (stack.empty()) return fail("Dokument ist keine Property-Liste");
        if (stack.size() > limits.maxDepth) return fail("zu tief verschachtelt");
        const Frame& parent = stack.back();
        if (*e == Element::key) {
            if (parent.element != Element::dict || parent.hasKey) return fail("<key> an falscher Stelle");
        } else if (parent.element == Element::dict && !parent.hasKey) {
            return fail("Wert ohne <key> in <dict>");
        } else if (parent.element == Element::plist && (root || parent.hasKey)) {
            return fail("mehr als ein Wert in <plist>");
        }
        if (*e == Element::dict || *e == Element::array) {
            Frame f{*e, {}, {}, false, {}};
            f.value.type = *e == Element::dict ? PlistValue::Type::dict : PlistValue::Type::array;
            // The top-level dict's collections: their members are handed over.
            if (stack.size() == 2 && stack[0].element == Element::plist && parent.element == Element::dict)
                for (const auto& c : collections)
                    if (c == parent.key) f.collection = c;
            stack.push_back(std::move(f));
            return;
        }
        scalar = *e;
        text.clear();
    }

    void characters(const char* s, int len) {
        if (failed() || !scalar) return;  // whitespace between elements
        if (text.size() + static_cast<std::size_t>(len) > limits.maxText) return fail("Text zu lang");
        text.append(s, static_cast<std::size_t>(len));
    }

    void end() {
        if (failed()) return;
        if (scalar) {
            Element e = *scalar;
            scalar.reset();
            if (e == Element::key) {
                stack.back().key = std::move(text);
                stack.back().hasKey = true;
                return;
            }
            PlistValue v;
            switch (e) {
                case Element::string: v.type = PlistValue::Type::string; v.text = std::move(text); break;
                case Element::date: v.type = PlistValue::Type::date; v.text = std::string(trimmed(text)); break;
                case Element::data: v.type = PlistValue::Type::data; v.text = std::move(text); break;
                case Element::trueValue:
                case Element::falseValue:
                    if (!trimmed(text).empty()) return fail("Text in <true/> oder <false/>");
                    v.type = PlistValue::Type::boolean;
                    v.boolean = e == Element::trueValue;
                    break;
                case Element::integer: {
                    auto t = trimmed(text);
                    if (!t.empty() && t.front() == '+') t.remove_prefix(1);
                    auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v.integer);
                    if (t.empty() || ec != std::errc() || p != t.data() + t.size())
                        return fail(fmt::format("ungültige Zahl „{}“", t.substr(0, 40)));
                    v.type = PlistValue::Type::integer;
                    break;
                }
                case Element::real: {
                    auto t = trimmed(text);
                    auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v.real);
                    if (t.empty() || ec != std::errc() || p != t.data() + t.size() || !std::isfinite(v.real))
                        return fail(fmt::format("ungültige Zahl „{}“", t.substr(0, 40)));
                    v.type = PlistValue::Type::real;
                    break;
                }
                default: break;
            }
            text.clear();
            return place(std::move(v));
        }
        if (stack.empty()) return;
        Frame f = std::move(stack.back());
        stack.pop_back();
        if (f.element == Element::plist) {
            if (!root) fail("leere Property-Liste");
            return;
        }
        place(std::move(f.value));
    }

    // Puts a finished value into its parent, or hands it over.
    void place(PlistValue v) {
        if (++nodes > limits.maxNodes) return fail("zu viele Werte");
        Frame& parent = stack.back();
        if (parent.element == Element::plist) {
            root = std::move(v);
            return;
        }
        if (!parent.collection.empty()) {
            std::string key = parent.element == Element::dict ? std::move(parent.key) : std::string();
            parent.hasKey = false;
            nodes -= count(v);
            handler(parent.collection, key, std::move(v));
            return;
        }
        if (parent.element == Element::dict) {
            parent.value.dict.emplace_back(std::move(parent.key), std::move(v));
            parent.hasKey = false;
        } else {
            parent.value.array.push_back(std::move(v));
        }
    }

    static std::size_t count(const PlistValue& v) {
        std::size_t n = 1;
        for (const auto& [k, c] : v.dict) n += count(c);
        for (const auto& c : v.array) n += count(c);
        return n;
    }
};

PlistReader::PlistReader(std::vector<std::string> collections, MemberHandler handler, PlistLimits limits)
    : impl_(new Impl) {
    impl_->collections = std::move(collections);
    impl_->handler = std::move(handler);
    impl_->limits = limits;
}

PlistReader::~PlistReader() { delete impl_; }

PlistValue PlistReader::read(std::string_view document) {
    std::istringstream in{std::string(document)};
    return read(in);
}

PlistValue PlistReader::read(std::istream& in) {
    Impl& s = *impl_;
    s.stack.clear();
    s.scalar.reset();
    s.root.reset();
    s.sawPlist = false;
    s.nodes = 0;
    s.error.clear();
    XML_Parser p = XML_ParserCreate("UTF-8");
    if (!p) throw PlistError("XML-Leser konnte nicht angelegt werden");
    s.parser = p;
    XML_SetUserData(p, &s);
    XML_SetElementHandler(
        p, [](void* d, const XML_Char* name, const XML_Char**) { static_cast<Impl*>(d)->start(name); },
        [](void* d, const XML_Char*) { static_cast<Impl*>(d)->end(); });
    XML_SetCharacterDataHandler(
        p, [](void* d, const XML_Char* t, int len) { static_cast<Impl*>(d)->characters(t, len); });
    // A plist declares no entities; a document that does is refused before any is expanded.
    XML_SetEntityDeclHandler(p, [](void* d, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                                   const XML_Char*, const XML_Char*, const XML_Char*) {
        static_cast<Impl*>(d)->fail("Entity-Deklarationen sind nicht erlaubt");
    });
    XML_SetParamEntityParsing(p, XML_PARAM_ENTITY_PARSING_NEVER);

    std::string error;
    std::vector<char> buffer(64 * 1024);
    bool last = false;
    while (!last && error.empty()) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        auto n = in.gcount();
        last = n < static_cast<std::streamsize>(buffer.size());
        if (in.bad()) {
            error = "Lesefehler";
            break;
        }
        if (XML_Parse(p, buffer.data(), static_cast<int>(n), last) == XML_STATUS_ERROR) {
            error = s.error.empty() ? fmt::format("Zeile {}: {}", XML_GetCurrentLineNumber(p),
                                                  XML_ErrorString(XML_GetErrorCode(p)))
                                    : fmt::format("Zeile {}: {}", XML_GetCurrentLineNumber(p), s.error);
        }
    }
    XML_ParserFree(p);
    s.parser = nullptr;
    if (error.empty() && !s.error.empty()) error = s.error;
    if (error.empty() && !s.root) error = "Dokument ist keine Property-Liste";
    if (!error.empty()) throw PlistError(error);
    return std::move(*s.root);
}

namespace {

// Text as XML 1.0 can hold it: invalid UTF-8 repaired, control characters other than tab and line
// feed dropped (no reader would take them), a carriage return kept as a reference.
void escapeInto(std::string& out, std::string_view raw) {
    for (char c : repairUtf8(raw)) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '\r': out += "&#13;"; break;
            default:
                if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n') out.push_back(c);
        }
    }
}

void write(std::string& out, const PlistValue& v, int depth) {
    std::string indent(static_cast<std::size_t>(depth), '\t');
    using T = PlistValue::Type;
    switch (v.type) {
        case T::string: out += indent + "<string>"; escapeInto(out, v.text); out += "</string>\n"; break;
        case T::integer: out += indent + fmt::format("<integer>{}</integer>\n", v.integer); break;
        case T::real: out += indent + fmt::format("<real>{}</real>\n", v.real); break;
        case T::boolean: out += indent + (v.boolean ? "<true/>\n" : "<false/>\n"); break;
        case T::date: out += indent + "<date>"; escapeInto(out, v.text); out += "</date>\n"; break;
        case T::data: out += indent + "<data>"; escapeInto(out, v.text); out += "</data>\n"; break;
        case T::dict:
            if (v.dict.empty()) {
                out += indent + "<dict/>\n";
                break;
            }
            out += indent + "<dict>\n";
            for (const auto& [k, c] : v.dict) {
                out += indent + "\t<key>";
                escapeInto(out, k);
                out += "</key>\n";
                write(out, c, depth + 1);
            }
            out += indent + "</dict>\n";
            break;
        case T::array:
            if (v.array.empty()) {
                out += indent + "<array/>\n";
                break;
            }
            out += indent + "<array>\n";
            for (const auto& c : v.array) write(out, c, depth + 1);
            out += indent + "</array>\n";
            break;
    }
}

}  // namespace

std::string plistDocument(const PlistValue& root) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n";
    write(out, root, 0);
    out += "</plist>\n";
    return out;
}

}  // namespace fv
