#pragma once
// Who may use the control panel, as pure code. The panel changes the live event, so no other page
// in the DJ's browser and no other machine may reach it:
//   - it listens on the loopback address only;
//   - every request carries the token made for this run: first in the URL ("/?token=…"), which is
//     answered by a redirect that moves it into a cookie (HttpOnly, SameSite=Strict), then in that
//     cookie;
//   - the Host header must name the loopback address and the panel's port, so a foreign name that
//     resolves to 127.0.0.1 (DNS rebinding) is refused;
//   - an Origin header, and on WebSocket upgrades it must be there, must be the panel's own;
//   - a Sec-Fetch-Site header other than same-origin or none (a request started by another page,
//     also one on another port of this computer) is refused.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fv::panel {

// 32 random bytes as 64 hex digits.
std::string makePanelToken();

struct PanelRequest {
    std::string method;  // "GET", ...
    std::string target;  // path and query as sent
    std::optional<std::string> host, origin, secFetchSite, cookie;
    bool upgrade = false;  // a WebSocket upgrade
};

struct PanelVerdict {
    enum class Kind {
        forbidden,      // 403
        wrongMethod,    // 405: a panel request, but not GET or HEAD
        redirect,       // 303 to `location`, setting the cookie (the token came in the URL)
        serve,          // answer `path`
    };
    Kind kind = Kind::forbidden;
    std::string path;      // the target without its query
    std::string location;  // redirect: where to
    std::string reason;    // forbidden: why, for the log
};

// The cookie that holds the token; the port is part of the name because cookies do not tell ports
// apart and a second floorvote may run on another one.
std::string panelCookieName(uint16_t port);
std::string panelCookie(uint16_t port, std::string_view token);  // the Set-Cookie value

PanelVerdict checkPanelRequest(const PanelRequest& r, uint16_t port, std::string_view token);

// Headers every panel answer carries (no framing, no sniffing, no referrer, only our own scripts
// and our own WebSocket).
std::string contentSecurityPolicy(uint16_t port);

// Compares without an early exit, so the time taken says nothing about the token.
bool sameSecret(std::string_view a, std::string_view b);

}  // namespace fv::panel
