#pragma once
// Apple's XML property lists, as the Music application exports its library and imports playlists.
// The reader streams: the members of chosen top-level collections (the library's tracks and
// playlists) are handed over one at a time, so a large library is never held as one tree.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fv {

struct PlistValue {
    enum class Type { string, integer, real, boolean, date, data, dict, array };
    Type type = Type::string;
    std::string text;  // string; date and data as written
    int64_t integer = 0;
    double real = 0;
    bool boolean = false;
    std::vector<std::pair<std::string, PlistValue>> dict;  // in document order
    std::vector<PlistValue> array;

    // Out of line: a dict holds pairs of this very type, which must be complete where the members'
    // vectors are made and destroyed (clang insists; GCC happens not to).
    PlistValue();
    ~PlistValue();
    PlistValue(const PlistValue&);
    PlistValue(PlistValue&&) noexcept;
    PlistValue& operator=(const PlistValue&);
    PlistValue& operator=(PlistValue&&) noexcept;

    // The first member of a dict with this key, or nothing.
    const PlistValue* find(std::string_view key) const;
    const std::string* string(std::string_view key) const;
    const int64_t* integerValue(std::string_view key) const;
    bool flag(std::string_view key) const;  // a true boolean
};

// A document that is not a plist, is cut short, or goes beyond the limits. The text is German.
class PlistError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct PlistLimits {
    std::size_t maxDepth = 64;            // a library is six deep
    std::size_t maxText = 4 * 1024 * 1024;  // one string, key or number
    std::size_t maxNodes = 1'000'000;     // values held at once, outside handed-over members
};

class PlistReader {
public:
    // collection: the top-level key; key: the member's key in a dict collection, empty in an array.
    using MemberHandler = std::function<void(const std::string& collection, const std::string& key, PlistValue&& value)>;

    // Members of these top-level keys go to the handler instead of into the tree.
    PlistReader(std::vector<std::string> collections, MemberHandler handler, PlistLimits limits = {});
    ~PlistReader();
    PlistReader(const PlistReader&) = delete;
    PlistReader& operator=(const PlistReader&) = delete;

    // The top-level value without the handed-over members. Throws PlistError.
    PlistValue read(std::istream& in);
    PlistValue read(std::string_view document);

private:
    struct Impl;
    Impl* impl_;
};

// An XML plist document of one value, as plistlib and the Music application write it.
std::string plistDocument(const PlistValue& root);

}  // namespace fv
