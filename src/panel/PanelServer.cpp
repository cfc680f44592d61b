// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "panel/PanelServer.hpp"

#include <fcntl.h>

#include <deque>
#include <map>
#include <set>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "panel/PanelAssets.hpp"
#include "panel/PanelSecurity.hpp"

namespace fv::panel {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using boost::asio::ip::tcp;
using boost::system::error_code;
using Bytes = std::shared_ptr<const std::string>;

namespace {
constexpr std::string_view component = "Panel";
constexpr auto ec_ = [](error_code& ec) { return asio::redirect_error(asio::use_awaitable, ec); };

template <typename S>
void closeOnExec(S& s) {
    int fd = s.native_handle();
    if (fd >= 0) ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

std::optional<std::string> header(const http::request<http::string_body>& req, http::field f) {
    auto it = req.find(f);
    if (it == req.end()) return std::nullopt;
    return std::string(it->value());
}
std::optional<std::string> header(const http::request<http::string_body>& req, std::string_view name) {
    auto it = req.find(name);
    if (it == req.end()) return std::nullopt;
    return std::string(it->value());
}

const char* forbiddenText =
    "Zugriff verweigert.\n\nDas Bedienfeld gehört zu einer laufenden „floorvote run“-Sitzung und öffnet sich nur über "
    "ihren Link mit Schlüssel: „floorvote panel“ öffnet ihn, und „floorvote run“ zeigt ihn beim Start.\n";
}  // namespace

struct Tab {
    explicit Tab(beast::tcp_stream s) : ws(std::move(s)) {}
    websocket::stream<beast::tcp_stream> ws;
    std::deque<Bytes> out;
    size_t queued = 0;
    bool writing = false;
    bool closed = false;

    void close() {
        if (closed) return;
        closed = true;
        error_code ec;
        auto& sock = beast::get_lowest_layer(ws).socket();
        sock.shutdown(tcp::socket::shutdown_both, ec);
        sock.close(ec);
        out.clear();
    }
};

struct PanelServer::State : std::enable_shared_from_this<PanelServer::State> {
    State(PanelServer* o, Limits l, uint16_t p, std::string t)
        : owner(o), limits(l), port(p), token(std::move(t)), acceptor(MainLoop::shared().context()) {}

    PanelServer* owner;
    Limits limits;
    uint16_t port;
    std::string token;
    tcp::acceptor acceptor;
    std::map<uint64_t, std::shared_ptr<Tab>> tabs;
    std::set<tcp::socket*> reading;  // HTTP connections not yet a tab (owned by their coroutine)
    uint64_t nextTab = 0;
    bool stopped = false;

    asio::awaitable<void> acceptLoop();
    asio::awaitable<void> serveHttp(std::shared_ptr<tcp::socket> socket);
    asio::awaitable<void> runTab(uint64_t id, std::shared_ptr<Tab> tab);
    asio::awaitable<void> writeLoop(std::shared_ptr<Tab> tab);
    void enqueue(const std::shared_ptr<Tab>& tab, const Bytes& bytes);
    http::response<http::string_body> answer(const http::request<http::string_body>& req, const PanelVerdict& v);
    void shutdown();
};

asio::awaitable<void> PanelServer::State::acceptLoop() {
    auto self = shared_from_this();
    while (!stopped) {
        error_code ec;
        tcp::socket s = co_await acceptor.async_accept(ec_(ec));
        if (stopped) co_return;
        if (ec) {
            if (ec == asio::error::operation_aborted) co_return;
            // Out of descriptors and the like: the listener stays; try again shortly.
            co_await sleepFor(std::chrono::milliseconds(200));
            continue;
        }
        closeOnExec(s);
        asio::co_spawn(MainLoop::shared().context(), serveHttp(std::make_shared<tcp::socket>(std::move(s))),
                       asio::detached);
    }
}

http::response<http::string_body> PanelServer::State::answer(const http::request<http::string_body>& req,
                                                             const PanelVerdict& v) {
    http::response<http::string_body> res;
    res.version(req.version());
    res.keep_alive(req.keep_alive());
    res.set(http::field::cache_control, "no-store");
    res.set("X-Content-Type-Options", "nosniff");
    res.set("X-Frame-Options", "DENY");
    res.set("Referrer-Policy", "no-referrer");
    res.set("Cross-Origin-Resource-Policy", "same-origin");
    res.set("Cross-Origin-Opener-Policy", "same-origin");
    auto plain = [&](http::status status, std::string text) {
        res.result(status);
        res.set(http::field::content_type, "text/plain; charset=utf-8");
        res.body() = std::move(text);
    };
    switch (v.kind) {
        case PanelVerdict::Kind::forbidden:
            plain(http::status::forbidden, forbiddenText);
            break;
        case PanelVerdict::Kind::wrongMethod:
            plain(http::status::method_not_allowed, "Nur GET und HEAD.\n");
            res.set(http::field::allow, "GET, HEAD");
            break;
        case PanelVerdict::Kind::redirect:
            res.result(http::status::see_other);
            res.set(http::field::location, v.location);
            res.set(http::field::set_cookie, panelCookie(port, token));
            break;
        case PanelVerdict::Kind::serve:
            if (const PanelAsset* a = findPanelAsset(v.path)) {
                res.result(http::status::ok);
                res.set(http::field::content_type, a->contentType);
                res.set("Content-Security-Policy", contentSecurityPolicy(port));
                res.body() = std::string(a->body);
            } else if (v.path == "/ws") {
                plain(http::status::bad_request, "Hier nur WebSocket.\n");
            } else {
                plain(http::status::not_found, "Nicht gefunden.\n");
            }
            break;
    }
    res.prepare_payload();
    if (req.method() == http::verb::head) res.body().clear();
    return res;
}

asio::awaitable<void> PanelServer::State::serveHttp(std::shared_ptr<tcp::socket> socket) {
    auto self = shared_from_this();
    beast::tcp_stream stream(std::move(*socket));
    // Stopping closes the connection through this entry while a request is read.
    struct Reading {
        std::set<tcp::socket*>& set;
        tcp::socket* s;
        ~Reading() { set.erase(s); }
    } registered{reading, &stream.socket()};
    reading.insert(&stream.socket());
    error_code nodelay;
    stream.socket().set_option(tcp::no_delay(true), nodelay);
    beast::flat_buffer buffer;
    for (;;) {
        if (stopped) co_return;
        http::request_parser<http::string_body> parser;
        parser.header_limit(8 * 1024);
        parser.body_limit(64 * 1024);
        stream.expires_after(std::chrono::milliseconds(limits.requestTimeoutMs));
        error_code ec;
        co_await http::async_read(stream, buffer, parser, ec_(ec));
        if (ec || stopped) break;
        http::request<http::string_body> req = parser.release();

        PanelRequest facts;
        facts.method = std::string(req.method_string());
        facts.target = std::string(req.target());
        facts.host = header(req, http::field::host);
        facts.origin = header(req, http::field::origin);
        facts.secFetchSite = header(req, "Sec-Fetch-Site");
        facts.cookie = header(req, http::field::cookie);
        facts.upgrade = websocket::is_upgrade(req);
        PanelVerdict v = checkPanelRequest(facts, port, token);
        if (v.kind == PanelVerdict::Kind::forbidden)
            logf(component, "refused {} {}: {}", facts.method, facts.target.substr(0, facts.target.find('?')), v.reason);

        if (v.kind == PanelVerdict::Kind::serve && facts.upgrade && v.path == "/ws") {
            stream.expires_never();
            reading.erase(&stream.socket());
            auto tab = std::make_shared<Tab>(std::move(stream));
            tab->ws.read_message_max(limits.maxMessage);
            tab->ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
            tab->ws.set_option(websocket::stream_base::decorator(
                [](websocket::response_type& res) { res.set(http::field::cache_control, "no-store"); }));
            uint64_t id = ++nextTab;
            tabs[id] = tab;
            co_await tab->ws.async_accept(req, ec_(ec));
            if (ec || stopped || tab->closed) {
                tabs.erase(id);
                tab->close();
                co_return;
            }
            tab->ws.text(true);
            // One frame per message: the page gets each update in one piece.
            tab->ws.auto_fragment(false);
            co_await runTab(id, tab);
            co_return;
        }
        // An upgrade that is not let through gets its answer as plain HTTP and the connection ends.
        auto res = answer(req, v);
        const bool keep = res.keep_alive() && !facts.upgrade && v.kind != PanelVerdict::Kind::forbidden;
        res.keep_alive(keep);
        co_await http::async_write(stream, res, ec_(ec));
        if (ec || !keep) break;
    }
    error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream.close();
}

asio::awaitable<void> PanelServer::State::runTab(uint64_t id, std::shared_ptr<Tab> tab) {
    auto self = shared_from_this();
    if (owner && owner->onOpen) owner->onOpen(id);
    beast::flat_buffer buffer;
    while (!tab->closed && !stopped) {
        error_code ec;
        co_await tab->ws.async_read(buffer, ec_(ec));
        if (ec || tab->closed || stopped) break;
        // The page speaks text; anything else is ignored.
        if (tab->ws.got_text() && owner && owner->onMessage) {
            std::string text = beast::buffers_to_string(buffer.data());
            buffer.consume(buffer.size());
            owner->onMessage(id, text);
        } else {
            buffer.consume(buffer.size());
        }
    }
    tab->close();
    if (tabs.erase(id) && owner && owner->onClose && !stopped) owner->onClose(id);
}

void PanelServer::State::enqueue(const std::shared_ptr<Tab>& tab, const Bytes& bytes) {
    if (tab->closed) return;
    tab->queued += bytes->size();
    if (tab->queued > limits.maxQueuedBytes) {
        // A tab that stopped reading is dropped; its page reconnects and gets the whole state.
        logf(component, "dropping a panel tab: {} bytes not taken", tab->queued);
        tab->close();
        return;
    }
    tab->out.push_back(bytes);
    if (!tab->writing) {
        tab->writing = true;
        asio::co_spawn(MainLoop::shared().context(), writeLoop(tab), asio::detached);
    }
}

asio::awaitable<void> PanelServer::State::writeLoop(std::shared_ptr<Tab> tab) {
    auto self = shared_from_this();
    while (!tab->out.empty() && !tab->closed) {
        Bytes next = tab->out.front();
        error_code ec;
        co_await tab->ws.async_write(asio::buffer(*next), ec_(ec));
        if (ec || tab->closed) {
            tab->close();
            break;
        }
        tab->queued -= next->size();
        tab->out.pop_front();
    }
    tab->writing = false;
}

void PanelServer::State::shutdown() {
    stopped = true;
    error_code ec;
    acceptor.close(ec);
    for (tcp::socket* s : reading) s->close(ec);
    reading.clear();
    auto all = std::move(tabs);
    tabs.clear();
    for (auto& [id, tab] : all) tab->close();
}

// ---- PanelServer -------------------------------------------------------------------------------

PanelServer::PanelServer() : PanelServer(Limits{}) {}
PanelServer::PanelServer(Limits limits) : limits_(limits) {}

PanelServer::~PanelServer() { stop(); }

bool PanelServer::start(uint16_t port) {
    MainLoop::shared().assertOnMain();
    stop();
    lastError_.clear();
    token_ = makePanelToken();
    auto state = std::make_shared<State>(this, limits_, port, token_);
    error_code ec;
    // Loopback only: the panel changes the live event.
    tcp::endpoint at(asio::ip::address_v4::loopback(), port);
    state->acceptor.open(at.protocol(), ec);
    if (!ec) closeOnExec(state->acceptor);
    if (!ec) state->acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) state->acceptor.bind(at, ec);
    if (!ec) state->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        lastError_ = ec.message();
        logf(component, "listener failed on 127.0.0.1:{}: {}", port, lastError_);
        error_code ignored;
        state->acceptor.close(ignored);
        return false;
    }
    port_ = state->acceptor.local_endpoint(ec).port();
    state->port = port_;
    state_ = state;
    logf(component, "listening on 127.0.0.1:{}", port_);
    asio::co_spawn(MainLoop::shared().context(), state->acceptLoop(), asio::detached);
    return true;
}

void PanelServer::stop() {
    if (!state_) return;
    state_->owner = nullptr;
    state_->shutdown();
    state_.reset();
    logLine(component, "stopped");
}

bool PanelServer::isRunning() const { return state_ != nullptr; }

std::string PanelServer::url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/?token=" + token_;
}

int PanelServer::connectedTabs() const { return state_ ? static_cast<int>(state_->tabs.size()) : 0; }

void PanelServer::broadcast(const std::string& text) {
    if (!state_ || state_->tabs.empty()) return;
    auto bytes = std::make_shared<const std::string>(text);
    // Copy first: a stuck tab leaves the map while we walk it.
    std::vector<std::shared_ptr<Tab>> all;
    for (auto& [id, tab] : state_->tabs) all.push_back(tab);
    for (auto& tab : all) state_->enqueue(tab, bytes);
}

void PanelServer::sendTo(uint64_t tab, const std::string& text) {
    if (!state_) return;
    auto it = state_->tabs.find(tab);
    if (it != state_->tabs.end()) state_->enqueue(it->second, std::make_shared<const std::string>(text));
}

}  // namespace fv::panel
