#include "session/KeychainService.hpp"

#include "platform/SecretStore.hpp"

namespace fv {
namespace {
bool validUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 0x2) return false;
        i += n;
    }
    return true;
}
}  // namespace

KeychainService::KeychainService(std::string service) : service_(std::move(service)) {}
KeychainService::KeychainService(std::string service, SecretStore& store)
    : service_(std::move(service)), store_(&store) {}

SecretStore& KeychainService::store() const { return store_ ? *store_ : SecretStore::standard(); }

std::optional<std::string> KeychainService::read(std::string_view key) const {
    auto v = store().read(service_, key);
    if (!v || !validUtf8(*v)) return std::nullopt;
    return v;
}

void KeychainService::save(std::string_view key, std::string_view value) const {
    if (!store().update(service_, key, value)) store().add(service_, key, value);
}

void KeychainService::remove(std::string_view key) const { store().remove(service_, key); }

}  // namespace fv
