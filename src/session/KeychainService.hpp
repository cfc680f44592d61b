#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace fv {

class SecretStore;

// The login's secret items. Failures are silent: a failed save leaves the old item (or none),
// and reads return nothing when an item is missing or unreadable.
class KeychainService {
public:
    explicit KeychainService(std::string service = "com.floorvote.app");
    KeychainService(std::string service, SecretStore& store);

    const std::string& service() const { return service_; }

    std::optional<std::string> read(std::string_view key) const;
    // Updates an existing item; adds one only when none exists.
    void save(std::string_view key, std::string_view value) const;
    void remove(std::string_view key) const;

private:
    SecretStore& store() const;
    std::string service_;
    SecretStore* store_ = nullptr;
};

}  // namespace fv
