#include "overlay/OverlayControl.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "core/Paths.hpp"
#include "overlay/OverlayEvent.hpp"
#include "overlay/OverlayServer.hpp"

namespace fv::overlay {

namespace fs = std::filesystem;
using boost::asio::local::stream_protocol;
using boost::system::error_code;

namespace {
constexpr size_t maxRequest = 1024 * 1024;
constexpr auto requestTimeout = std::chrono::seconds(5);

int connectTo(const fs::path& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), std::min(path.native().size(), sizeof addr.sun_path - 1));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

bool someoneListens(const fs::path& path) {
    int fd = connectTo(path);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}
}  // namespace

fs::path controlSocketPath(uint16_t port) {
    fs::path base;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/')
        base = fs::path(runtime) / "floorvote";
    else
        base = xdgStateHome() / "floorvote";
    return base / ("overlay-" + std::to_string(port) + ".sock");
}

struct OverlayControlServer::Impl : std::enable_shared_from_this<OverlayControlServer::Impl> {
    Impl() : acceptor(MainLoop::shared().context()) {}
    stream_protocol::acceptor acceptor;
    Handler handler;
    fs::path path;
    bool open = false;

    void acceptNext() {
        acceptor.async_accept([self = shared_from_this()](error_code ec, stream_protocol::socket s) {
            if (!self->open) return;
            if (!ec) {
                ::fcntl(s.native_handle(), F_SETFD, FD_CLOEXEC);
                serve(self, std::make_shared<stream_protocol::socket>(std::move(s)));
            }
            if (ec == boost::asio::error::operation_aborted) return;
            self->acceptNext();
        });
    }

    static void serve(std::shared_ptr<Impl> self, std::shared_ptr<stream_protocol::socket> sock) {
        auto buf = std::make_shared<boost::asio::streambuf>(maxRequest);
        auto timer = std::make_shared<boost::asio::steady_timer>(MainLoop::shared().context(), requestTimeout);
        timer->async_wait([sock](error_code e) {
            if (!e) {
                error_code ignored;
                sock->close(ignored);
            }
        });
        boost::asio::async_read_until(*sock, *buf, '\n', [self, sock, buf, timer](error_code ec, size_t n) {
            if (ec) {
                timer->cancel();
                return;
            }
            std::string line(boost::asio::buffers_begin(buf->data()), boost::asio::buffers_begin(buf->data()) + n);
            json answer;
            try {
                answer = self->handler(jsonx::parse(line));
            } catch (const std::exception& e) {
                answer = {{"ok", false}, {"error", e.what()}};
            }
            auto out =
                std::make_shared<std::string>(answer.dump(-1, ' ', false, json::error_handler_t::replace) + "\n");
            boost::asio::async_write(*sock, boost::asio::buffer(*out), [sock, out, timer](error_code, size_t) {
                timer->cancel();
                error_code ignored;
                sock->close(ignored);
            });
        });
    }
};

OverlayControlServer::OverlayControlServer() : impl_(std::make_shared<Impl>()) {}
OverlayControlServer::~OverlayControlServer() { stop(); }

bool OverlayControlServer::start(const fs::path& path, Handler handler, std::string& error) {
    stop();
    std::error_code fsErr;
    fs::create_directories(path.parent_path(), fsErr);
    ::chmod(path.parent_path().c_str(), 0700);
    if (path.native().size() >= sizeof(sockaddr_un::sun_path)) {
        error = "Pfad des Steuer-Sockets ist zu lang: " + path.string();
        return false;
    }
    if (fs::exists(path, fsErr)) {
        // A file left by a server that died; a live server answers the connect.
        if (someoneListens(path)) {
            error = "Ein anderer Overlay-Server nutzt bereits " + path.string();
            return false;
        }
        fs::remove(path, fsErr);
    }
    error_code ec;
    impl_->acceptor.open(stream_protocol(), ec);
    if (!ec) ::fcntl(impl_->acceptor.native_handle(), F_SETFD, FD_CLOEXEC);
    if (!ec) impl_->acceptor.bind(stream_protocol::endpoint(path.string()), ec);
    // The folder is 0700 already; the socket itself is the user's alone as well.
    if (!ec) ::chmod(path.c_str(), 0600);
    if (!ec) impl_->acceptor.listen(16, ec);
    if (ec) {
        error = ec.message();
        error_code ignored;
        impl_->acceptor.close(ignored);
        return false;
    }
    impl_->handler = std::move(handler);
    impl_->path = path;
    impl_->open = true;
    impl_->acceptNext();
    return true;
}

void OverlayControlServer::stop() {
    if (!impl_->open) return;
    impl_->open = false;
    error_code ec;
    impl_->acceptor.close(ec);
    std::error_code fsErr;
    fs::remove(impl_->path, fsErr);
    // A fresh acceptor for a later start; the old one's pending accept still owns the impl.
    auto next = std::make_shared<Impl>();
    impl_ = std::move(next);
}

json overlayControlRequest(const fs::path& path, const json& request, std::chrono::milliseconds timeout) {
    if (path.native().size() >= sizeof(sockaddr_un::sun_path)) throw std::runtime_error("socket path too long");
    int fd = connectTo(path);
    if (fd < 0) throw std::runtime_error(std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};

    auto deadline = std::chrono::steady_clock::now() + timeout;
    auto waitFor = [&](short events) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, events, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            throw std::runtime_error("no answer from the overlay server");
    };
    std::string out = request.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    size_t off = 0;
    while (off < out.size()) {
        waitFor(POLLOUT);
        ssize_t n = ::send(fd, out.data() + off, out.size() - off, MSG_NOSIGNAL);
        if (n <= 0) throw std::runtime_error(std::strerror(errno));
        off += static_cast<size_t>(n);
    }
    std::string in;
    char buf[4096];
    while (in.find('\n') == std::string::npos) {
        waitFor(POLLIN);
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) throw std::runtime_error("no answer from the overlay server");
        in.append(buf, static_cast<size_t>(n));
        if (in.size() > maxRequest) throw std::runtime_error("answer too long");
    }
    try {
        return jsonx::parse(std::string_view(in).substr(0, in.find('\n')));
    } catch (const DecodeError& e) {
        throw std::runtime_error(e.what());
    }
}

json handleOverlayControl(OverlayServer& server, const json& request, const std::function<OverlayConfig()>& stored,
                          const std::function<void(const OverlayEvent&)>& sent) {
    if (!request.is_object()) throw DecodeError("expected a JSON object");
    if (jsonx::find(request, "ping")) return {{"ok", true}};
    if (jsonx::defaulted<bool>(request, "reloadConfig", false)) {
        OverlayConfig next = stored();
        next.port = server.port();
        server.updateConfig(next);
        server.pushConfig();
        return {{"ok", true}, {"sent", true}, {"clients", server.connectedClients()}};
    }
    const json* e = jsonx::find(request, "event");
    if (!e) throw DecodeError("missing key \"event\"");
    OverlayEvent ev = OverlayEvent::fromJson(*e);
    if (ev.type == OverlayEventType::initialState && !ev.config) ev.config = server.overlayConfig();
    bool ok = server.send(ev, jsonx::defaulted<bool>(request, "force", false));
    if (ok && sent) sent(ev);
    return {{"ok", true}, {"sent", ok}, {"clients", server.connectedClients()}};
}

}  // namespace fv::overlay
