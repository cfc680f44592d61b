#include "panel/PanelSecurity.hpp"

#include <openssl/rand.h>

#include <cctype>
#include <stdexcept>

namespace fv::panel {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The value of a query parameter (no percent-decoding: the token is plain hex).
std::optional<std::string> queryValue(std::string_view query, std::string_view name) {
    while (!query.empty()) {
        auto amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        auto eq = pair.find('=');
        if (pair.substr(0, eq) == name) return std::string(eq == std::string_view::npos ? "" : pair.substr(eq + 1));
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

// Any cookie of that name holding the token.
bool cookieHolds(std::string_view header, std::string_view name, std::string_view token) {
    bool found = false;
    while (!header.empty()) {
        auto semi = header.find(';');
        std::string_view item = header.substr(0, semi);
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
        auto eq = item.find('=');
        if (eq != std::string_view::npos && item.substr(0, eq) == name && sameSecret(item.substr(eq + 1), token))
            found = true;
        if (semi == std::string_view::npos) break;
        header.remove_prefix(semi + 1);
    }
    return found;
}

PanelVerdict forbidden(std::string reason) {
    PanelVerdict v;
    v.kind = PanelVerdict::Kind::forbidden;
    v.reason = std::move(reason);
    return v;
}

}  // namespace

std::string makePanelToken() {
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("no secure random bytes for the panel token");
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += hex[b >> 4];
        out += hex[b & 0xF];
    }
    return out;
}

bool sameSecret(std::string_view a, std::string_view b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0 && !a.empty();
}

std::string panelCookieName(uint16_t port) { return "fv_panel_" + std::to_string(port); }

std::string panelCookie(uint16_t port, std::string_view token) {
    return panelCookieName(port) + "=" + std::string(token) + "; Path=/; HttpOnly; SameSite=Strict";
}

PanelVerdict checkPanelRequest(const PanelRequest& r, uint16_t port, std::string_view token) {
    const std::string p = std::to_string(port);
    if (!r.host) return forbidden("no Host header");
    const std::string host = lower(*r.host);
    if (host != "127.0.0.1:" + p && host != "localhost:" + p) return forbidden("foreign Host " + *r.host);

    if (r.origin) {
        if (lower(*r.origin) != "http://" + host) return forbidden("foreign Origin " + *r.origin);
    } else if (r.upgrade) {
        return forbidden("WebSocket upgrade without Origin");
    }
    if (r.secFetchSite) {
        const std::string site = lower(*r.secFetchSite);
        if (site != "same-origin" && site != "none") return forbidden("started by another site (" + site + ")");
    }

    const auto q = r.target.find('?');
    const std::string path = r.target.substr(0, q);
    const std::optional<std::string> inUrl =
        q == std::string::npos ? std::nullopt : queryValue(std::string_view(r.target).substr(q + 1), "token");
    const bool urlOk = inUrl && sameSecret(*inUrl, token);
    const bool cookieOk = r.cookie && cookieHolds(*r.cookie, panelCookieName(port), token);
    if (!urlOk && !cookieOk) return forbidden(inUrl ? "wrong token" : "no token");

    if (r.method != "GET" && r.method != "HEAD") {
        PanelVerdict v;
        v.kind = PanelVerdict::Kind::wrongMethod;
        v.path = path;
        return v;
    }
    PanelVerdict v;
    v.path = path.empty() ? "/" : path;
    if (urlOk && !r.upgrade) {
        // Out of the address bar and the history, into the cookie.
        v.kind = PanelVerdict::Kind::redirect;
        v.location = "/";
        return v;
    }
    v.kind = PanelVerdict::Kind::serve;
    return v;
}

std::string contentSecurityPolicy(uint16_t port) {
    const std::string p = std::to_string(port);
    return "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
           "connect-src ws://127.0.0.1:" + p + " ws://localhost:" + p +
           "; frame-ancestors 'none'; base-uri 'none'; form-action 'none'";
}

}  // namespace fv::panel
