#pragma once
// Byte builders for RPC tests: expected messages are written out word by word, by hand.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "cdjlink/CDJRpc.hpp"

namespace fv::test {

struct Wire {
    std::vector<uint8_t> b;

    Wire& w(uint32_t v) {
        b.push_back(uint8_t(v >> 24));
        b.push_back(uint8_t(v >> 16));
        b.push_back(uint8_t(v >> 8));
        b.push_back(uint8_t(v));
        return *this;
    }
    Wire& ws(std::initializer_list<uint32_t> vs) {
        for (uint32_t v : vs) w(v);
        return *this;
    }
    // Raw bytes from hex text ("db34 af57 ..."; blanks ignored).
    Wire& hex(std::string_view h) {
        int hi = -1;
        for (char c : h) {
            int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (v < 0) continue;
            if (hi < 0) {
                hi = v;
            } else {
                b.push_back(uint8_t(hi * 16 + v));
                hi = -1;
            }
        }
        return *this;
    }
    Wire& zeros(size_t n) {
        b.insert(b.end(), n, 0);
        return *this;
    }
    Wire& raw(std::string_view s) {
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    // XDR string: length, bytes, zero padding.
    Wire& str(std::string_view s) {
        w(static_cast<uint32_t>(s.size()));
        raw(s);
        while (b.size() % 4) b.push_back(0);
        return *this;
    }
    Wire& add(const std::vector<uint8_t>& more) {
        b.insert(b.end(), more.begin(), more.end());
        return *this;
    }
    // Accepted reply header with status SUCCESS.
    Wire& ok(uint32_t xid) { return ws({xid, 1, 0, 0, 0, 0}); }
    operator const std::vector<uint8_t>&() const { return b; }
};

inline std::string hexOf(const std::vector<uint8_t>& v) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < v.size(); ++i) {
        if (i && i % 4 == 0) s.push_back(' ');
        s.push_back(d[v[i] >> 4]);
        s.push_back(d[v[i] & 15]);
    }
    return s;
}

}  // namespace fv::test
