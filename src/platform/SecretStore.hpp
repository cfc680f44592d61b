#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace fv {

// Generic-password items (service, account) -> value in one JSON file of mode 0600 under
// $XDG_DATA_HOME/floorvote/, replaced atomically under an advisory lock.
class SecretStore {
public:
    explicit SecretStore(std::filesystem::path file);
    static SecretStore& standard();
    static void resetStandard();

    std::optional<std::string> read(std::string_view service, std::string_view account) const;
    // "update": only an existing item; false when none exists or the write failed.
    bool update(std::string_view service, std::string_view account, std::string_view value);
    // "add": only a new item; false when it exists or the write failed.
    bool add(std::string_view service, std::string_view account, std::string_view value);
    bool remove(std::string_view service, std::string_view account);

    const std::filesystem::path& file() const { return file_; }

private:
    std::filesystem::path file_;
};

}  // namespace fv
