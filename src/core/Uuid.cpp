#include "core/Uuid.hpp"

#include <cstdint>
#include <mutex>
#include <random>

#include <fmt/format.h>

namespace fv {

std::string makeUuid() {
    static std::mutex m;
    static std::mt19937_64 rng{std::random_device{}()};
    uint64_t a, b;
    {
        std::lock_guard lock(m);
        a = rng();
        b = rng();
    }
    a = (a & 0xFFFFFFFFFFFF0FFFULL) | 0x0000000000004000ULL;
    b = (b & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;
    return fmt::format("{:08X}-{:04X}-{:04X}-{:04X}-{:012X}", a >> 32, (a >> 16) & 0xFFFF, a & 0xFFFF, b >> 48,
                       b & 0xFFFFFFFFFFFFULL);
}

}  // namespace fv
