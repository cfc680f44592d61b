#include "session/HttpClient.hpp"

// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <map>
#include <mutex>
#include <optional>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <openssl/ssl.h>

namespace fv {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

ParsedURL parseURL(const std::string& url) {
    ParsedURL u;
    std::string rest;
    if (url.rfind("http://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("https://", 0) == 0) {
        u.https = true;
        rest = url.substr(8);
    } else {
        throw HttpError(HttpError::Kind::invalidURL, "Invalid URL: " + url);
    }
    auto slash = rest.find_first_of("/?#");
    std::string authority = rest.substr(0, slash);
    u.target = slash == std::string::npos ? "/" : rest.substr(slash);
    if (u.target[0] == '?') u.target = "/" + u.target;
    if (auto hash = u.target.find('#'); hash != std::string::npos) u.target.erase(hash);
    if (u.target.empty()) u.target = "/";
    if (authority.find('@') != std::string::npos)
        throw HttpError(HttpError::Kind::invalidURL, "Invalid URL (user info is not supported): " + url);
    std::string portText;
    if (!authority.empty() && authority[0] == '[') {
        auto close = authority.find(']');
        if (close == std::string::npos) throw HttpError(HttpError::Kind::invalidURL, "Invalid URL: " + url);
        u.host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') throw HttpError(HttpError::Kind::invalidURL, "Invalid URL: " + url);
            portText = authority.substr(close + 2);
        }
    } else {
        auto colon = authority.find(':');
        u.host = authority.substr(0, colon);
        if (colon != std::string::npos) portText = authority.substr(colon + 1);
    }
    if (u.host.empty()) throw HttpError(HttpError::Kind::invalidURL, "Invalid URL (no host): " + url);
    for (char c : u.target)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f)
            throw HttpError(HttpError::Kind::invalidURL, "Invalid URL (unescaped character in path): " + url);
    if (!portText.empty()) {
        if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(portText) == 0 || std::stoi(portText) > 65535)
            throw HttpError(HttpError::Kind::invalidURL, "Invalid URL (bad port): " + url);
    }
    u.port = portText.empty() ? (u.https ? "443" : "80") : portText;
    bool ipv6 = u.host.find(':') != std::string::npos;
    u.hostHeader = ipv6 ? "[" + u.host + "]" : u.host;
    if (!portText.empty() && portText != (u.https ? "443" : "80")) u.hostHeader += ":" + portText;
    return u;
}

namespace {

struct Connection {
    std::optional<beast::tcp_stream> plain;
    std::optional<beast::ssl_stream<beast::tcp_stream>> tls;
    beast::flat_buffer buffer;

    beast::tcp_stream& lowest() { return tls ? beast::get_lowest_layer(*tls) : *plain; }
};

std::string seconds(std::chrono::milliseconds d) {
    auto ms = d.count();
    if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
    return std::to_string(ms) + " ms";
}

}  // namespace

ssl::context& tlsClientContext() {
    static ssl::context ctx = [] {
        ssl::context c(ssl::context::tls_client);
        c.set_default_verify_paths();
        c.set_verify_mode(ssl::verify_peer);
        c.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3);
        return c;
    }();
    return ctx;
}

namespace {

struct Exchange {
    beast::error_code ec;
    bool wrote = false;
    bool gotSome = false;
};

template <typename Stream>
asio::awaitable<Exchange> exchange(Stream& stream, beast::flat_buffer& buffer, http::request<http::string_body>& req,
                                   http::response_parser<http::string_body>& parser) {
    Exchange x;
    co_await http::async_write(stream, req, asio::redirect_error(asio::use_awaitable, x.ec));
    if (x.ec) co_return x;
    x.wrote = true;
    co_await http::async_read(stream, buffer, parser, asio::redirect_error(asio::use_awaitable, x.ec));
    x.gotSome = parser.got_some();
    co_return x;
}

}  // namespace

struct HttpClient::Impl {
    std::mutex mutex;
    std::map<std::string, std::vector<std::unique_ptr<Connection>>> idle;
    std::size_t maxBody = 32 * 1024 * 1024;
    std::size_t opened = 0;

    std::unique_ptr<Connection> takeIdle(const std::string& key) {
        std::lock_guard lock(mutex);
        auto it = idle.find(key);
        if (it == idle.end() || it->second.empty()) return nullptr;
        auto c = std::move(it->second.back());
        it->second.pop_back();
        return c;
    }
    void putIdle(const std::string& key, std::unique_ptr<Connection> c) {
        c->lowest().expires_never();
        std::lock_guard lock(mutex);
        auto& v = idle[key];
        if (v.size() < 4) v.push_back(std::move(c));
    }

    asio::awaitable<std::unique_ptr<Connection>> connect(const ParsedURL& u, Clock::time_point deadline,
                                                         std::chrono::milliseconds timeout) {
        auto ex = co_await asio::this_coro::executor;
        const std::string where = u.hostHeader;
        tcp::resolver resolver(ex);
        asio::steady_timer guard(ex, deadline);
        bool timedOut = false;
        guard.async_wait([&](beast::error_code ec) {
            if (!ec) {
                timedOut = true;
                resolver.cancel();
            }
        });
        beast::error_code ec;
        auto results = co_await resolver.async_resolve(u.host, u.port, asio::redirect_error(asio::use_awaitable, ec));
        guard.cancel();
        if (timedOut) throw HttpError(HttpError::Kind::timeout, "Request to " + where + " timed out after " + seconds(timeout));
        if (ec) throw HttpError(HttpError::Kind::resolve, "Could not resolve " + u.host + ": " + ec.message());

        auto c = std::make_unique<Connection>();
        if (u.https) {
            c->tls.emplace(ex, tlsClientContext());
        } else {
            c->plain.emplace(ex);
        }
        auto& low = c->lowest();
        low.expires_at(deadline);
        co_await low.async_connect(results, asio::redirect_error(asio::use_awaitable, ec));
        if (ec == beast::error::timeout)
            throw HttpError(HttpError::Kind::timeout, "Request to " + where + " timed out after " + seconds(timeout));
        if (ec) throw HttpError(HttpError::Kind::connect, "Could not connect to " + where + ": " + ec.message());
        {
            std::lock_guard lock(mutex);
            ++opened;
        }
        if (u.https) {
            // SNI and the certificate's host name are both checked against the URL's host.
            if (!SSL_set_tlsext_host_name(c->tls->native_handle(), u.host.c_str()))
                throw HttpError(HttpError::Kind::tls, "TLS setup for " + where + " failed");
            c->tls->set_verify_callback(ssl::host_name_verification(u.host));
            co_await c->tls->async_handshake(ssl::stream_base::client, asio::redirect_error(asio::use_awaitable, ec));
            if (ec == beast::error::timeout)
                throw HttpError(HttpError::Kind::timeout, "Request to " + where + " timed out after " + seconds(timeout));
            if (ec) throw HttpError(HttpError::Kind::tls, "TLS handshake with " + where + " failed: " + ec.message());
        }
        co_return c;
    }
};

HttpClient::HttpClient() : impl_(std::make_unique<Impl>()) {}
HttpClient::~HttpClient() = default;

HttpClient& HttpClient::shared() {
    static HttpClient client;
    return client;
}

void HttpClient::setMaxBodyBytes(std::size_t n) { impl_->maxBody = n; }
std::size_t HttpClient::maxBodyBytes() const { return impl_->maxBody; }
std::size_t HttpClient::connectionsOpened() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->opened;
}
void HttpClient::closeIdleConnections() {
    std::lock_guard lock(impl_->mutex);
    impl_->idle.clear();
}

asio::awaitable<HttpResponse> HttpClient::send(HttpRequest request) {
    const ParsedURL u = parseURL(request.url);
    const std::string key = (u.https ? "https://" : "http://") + u.hostHeader;
    const auto deadline = Clock::now() + request.timeout;
    const std::string where = u.hostHeader;
    auto timeoutError = [&] {
        return HttpError(HttpError::Kind::timeout, "Request to " + where + " timed out after " + seconds(request.timeout));
    };

    http::verb verb = http::string_to_verb(request.method);
    if (verb == http::verb::unknown) throw HttpError(HttpError::Kind::invalidURL, "Unknown HTTP method " + request.method);
    http::request<http::string_body> req{verb, u.target, 11};
    req.set(http::field::host, u.hostHeader);
    for (const auto& [name, value] : request.headers) req.set(name, value);
    req.body() = request.body;
    if (!request.body.empty() || verb == http::verb::post || verb == http::verb::put || verb == http::verb::patch)
        req.prepare_payload();

    for (int attempt = 0;; ++attempt) {
        auto conn = impl_->takeIdle(key);
        const bool reused = conn != nullptr;
        if (!conn) {
            auto fresh = co_await impl_->connect(u, deadline, request.timeout);
            conn = std::move(fresh);
        }
        conn->lowest().expires_at(deadline);

        http::response_parser<http::string_body> parser;
        parser.body_limit(impl_->maxBody);
        parser.header_limit(64 * 1024);
        Exchange x;
        if (conn->tls)
            x = co_await exchange(*conn->tls, conn->buffer, req, parser);
        else
            x = co_await exchange(*conn->plain, conn->buffer, req, parser);
        if (x.ec) {
            // An idle connection the server has closed meanwhile: send once more on a fresh one.
            if (reused && attempt == 0 && !x.gotSome && x.ec != beast::error::timeout) continue;
            if (x.ec == beast::error::timeout) throw timeoutError();
            if (x.ec == http::error::body_limit)
                throw HttpError(HttpError::Kind::tooLarge,
                                "Answer from " + where + " is larger than " + std::to_string(impl_->maxBody) + " bytes");
            if (!x.wrote) throw HttpError(HttpError::Kind::send, "Sending to " + where + " failed: " + x.ec.message());
            if (x.ec.category() == http::make_error_code(http::error::bad_version).category() &&
                x.ec != http::error::partial_message && x.ec != http::error::end_of_stream)
                throw HttpError(HttpError::Kind::notHttp, "Answer from " + where + " is not HTTP: " + x.ec.message());
            if (x.ec == http::error::partial_message || x.ec == http::error::end_of_stream || x.ec == asio::error::eof)
                throw HttpError(HttpError::Kind::receive, "Connection to " + where + " closed before the answer was complete");
            throw HttpError(HttpError::Kind::receive, "Receiving from " + where + " failed: " + x.ec.message());
        }
        auto res = parser.release();
        HttpResponse out;
        out.status = static_cast<int>(res.result_int());
        for (const auto& f : res) out.headers.emplace_back(std::string(f.name_string()), std::string(f.value()));
        out.body = std::move(res.body());
        if (res.keep_alive() && !res.need_eof()) impl_->putIdle(key, std::move(conn));
        co_return out;
    }
}

}  // namespace fv
