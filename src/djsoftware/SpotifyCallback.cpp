// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "djsoftware/SpotifyCallback.hpp"

#include <set>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "core/Log.hpp"
#include "core/MainLoop.hpp"

namespace fv {

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string decodeComponent(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::string page(std::string_view title, std::string_view text) {
    return "<!DOCTYPE html>\n<html lang=\"de\"><head><meta charset=\"utf-8\"><title>" + std::string(title) +
           "</title></head><body style=\"font-family:sans-serif;margin:3em\"><h1>" + std::string(title) + "</h1><p>" +
           std::string(text) + "</p></body></html>\n";
}

}  // namespace

std::map<std::string, std::string> queryItems(std::string_view target) {
    std::map<std::string, std::string> items;
    auto q = target.find('?');
    if (q == std::string_view::npos) return items;
    std::string_view rest = target.substr(q + 1);
    if (auto hash = rest.find('#'); hash != std::string_view::npos) rest = rest.substr(0, hash);
    while (!rest.empty()) {
        auto amp = rest.find('&');
        std::string_view pair = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view{} : rest.substr(amp + 1);
        if (pair.empty()) continue;
        auto eq = pair.find('=');
        std::string key = decodeComponent(pair.substr(0, eq));
        std::string value = eq == std::string_view::npos ? std::string() : decodeComponent(pair.substr(eq + 1));
        items.emplace(std::move(key), std::move(value));  // the first of a repeated key counts
    }
    return items;
}

struct SpotifyCallbackListener::Impl : std::enable_shared_from_this<Impl> {
    explicit Impl(asio::any_io_executor ex) : acceptor(ex), wake(ex) {}
    tcp::acceptor acceptor;
    asio::steady_timer wake;
    std::string state;
    std::optional<std::map<std::string, std::string>> result;
    std::set<std::shared_ptr<beast::tcp_stream>> open;
    bool accepting = false;

    void close() {
        boost::system::error_code ec;
        acceptor.close(ec);
        for (auto& s : open) s->socket().close(ec);
        open.clear();
        wake.cancel();
    }

    static asio::awaitable<void> acceptLoop(std::shared_ptr<Impl> self) {
        while (self->acceptor.is_open()) {
            boost::system::error_code ec;
            tcp::socket s = co_await self->acceptor.async_accept(asio::redirect_error(asio::use_awaitable, ec));
            if (ec == asio::error::operation_aborted || !self->acceptor.is_open()) co_return;
            if (ec) {
                // Out of descriptors and the like: try again shortly instead of spinning.
                co_await sleepFor(std::chrono::milliseconds(50));
                continue;
            }
            auto stream = std::make_shared<beast::tcp_stream>(std::move(s));
            self->open.insert(stream);
            asio::co_spawn(self->acceptor.get_executor(), serve(self, stream), asio::detached);
        }
    }

    static asio::awaitable<void> serve(std::shared_ptr<Impl> self, std::shared_ptr<beast::tcp_stream> stream) {
        boost::system::error_code ec;
        beast::flat_buffer buffer(8192);
        http::request_parser<http::empty_body> parser;
        parser.header_limit(8192);
        stream->expires_after(std::chrono::seconds(10));
        co_await http::async_read(*stream, buffer, parser, asio::redirect_error(asio::use_awaitable, ec));
        if (ec) {
            self->open.erase(stream);
            co_return;
        }
        const auto& req = parser.get();
        std::string target(req.target());
        std::string path = target.substr(0, target.find('?'));

        http::status status = http::status::ok;
        std::string body;
        if (req.method() != http::verb::get || path != "/callback") {
            status = http::status::not_found;
            body = page("Nicht gefunden", "Diese Adresse gehört zur Spotify-Anmeldung von Floorvote.");
        } else {
            auto items = queryItems(target);
            auto st = items.find("state");
            if (self->result) {
                body = page("Spotify-Anmeldung", "Die Anmeldung ist bereits abgeschlossen. Du kannst dieses Fenster schließen.");
            } else if (st == items.end() || st->second != self->state) {
                // Not the redirect of this sign-in (an old tab, another page): keep waiting.
                status = http::status::bad_request;
                body = page("Spotify-Anmeldung", "Diese Anmeldung gehört nicht zur laufenden Anmeldung von Floorvote.");
            } else {
                bool ok = items.count("code") && !items["code"].empty();
                body = ok ? page("Spotify-Anmeldung abgeschlossen",
                                 "Du kannst dieses Fenster schließen und zu Floorvote zurückkehren.")
                          : page("Spotify-Anmeldung abgebrochen", "Floorvote ist nicht bei Spotify angemeldet.");
                self->result = std::move(items);
                self->wake.cancel();
            }
        }
        http::response<http::string_body> res{status, 11};
        res.set(http::field::content_type, "text/html; charset=utf-8");
        res.set(http::field::cache_control, "no-store");
        res.set(http::field::connection, "close");
        res.body() = std::move(body);
        res.prepare_payload();
        stream->expires_after(std::chrono::seconds(10));
        co_await http::async_write(*stream, res, asio::redirect_error(asio::use_awaitable, ec));
        stream->socket().shutdown(tcp::socket::shutdown_both, ec);
        stream->close();
        self->open.erase(stream);
    }
};

SpotifyCallbackListener::SpotifyCallbackListener() : impl_(std::make_shared<Impl>(MainLoop::shared().executor())) {
    tcp::endpoint at(asio::ip::make_address_v4("127.0.0.1"), 0);
    impl_->acceptor.open(at.protocol());
    impl_->acceptor.bind(at);
    impl_->acceptor.listen();
}

SpotifyCallbackListener::~SpotifyCallbackListener() { impl_->close(); }

int SpotifyCallbackListener::port() const { return impl_->acceptor.local_endpoint().port(); }

std::string SpotifyCallbackListener::redirectUri() const {
    return "http://127.0.0.1:" + std::to_string(port()) + "/callback";
}

asio::awaitable<std::optional<std::map<std::string, std::string>>> SpotifyCallbackListener::wait(
    std::string state, std::chrono::milliseconds timeout) {
    auto self = impl_;
    self->state = std::move(state);
    if (!self->accepting) {
        self->accepting = true;
        asio::co_spawn(self->acceptor.get_executor(), Impl::acceptLoop(self), asio::detached);
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!self->result && std::chrono::steady_clock::now() < deadline) {
        self->wake.expires_at(deadline);
        boost::system::error_code ec;
        co_await self->wake.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        if (!self->acceptor.is_open()) break;
    }
    co_return self->result;
}

}  // namespace fv
