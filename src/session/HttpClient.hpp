#pragma once
// The HTTP(S) transport of the REST client. Beast stays inside HttpClient.cpp so this header is cheap.
#include <chrono>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>

namespace boost::asio::ssl {
class context;
}

namespace fv {

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::chrono::milliseconds timeout{60000};
};

struct HttpResponse {
    int status = 0;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

// A failure below HTTP status codes: the URL, the name lookup, the connection, TLS, a timeout,
// an answer cut short or too large, or bytes that are not HTTP. The text says what failed.
class HttpError : public std::runtime_error {
public:
    enum class Kind { invalidURL, resolve, connect, tls, send, receive, timeout, tooLarge, notHttp };
    HttpError(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

struct ParsedURL {
    bool https = false;
    std::string host;  // without brackets for IPv6 literals
    std::string port;
    std::string target;  // path and query, at least "/"
    std::string hostHeader;
};
// Throws HttpError(invalidURL) for anything but http:// and https:// URLs with a host.
ParsedURL parseURL(const std::string& url);

// The client TLS settings shared by every HTTPS and WSS connection: the system's CA store, peer
// verification on.
boost::asio::ssl::context& tlsClientContext();

// Sends requests on the executor of the calling coroutine, reusing idle keep-alive connections
// per scheme, host and port.
class HttpClient {
public:
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    static HttpClient& shared();

    boost::asio::awaitable<HttpResponse> send(HttpRequest request);

    // Larger answers fail with HttpError(tooLarge) instead of filling memory.
    void setMaxBodyBytes(std::size_t n);
    std::size_t maxBodyBytes() const;
    // Connections opened so far (tests check reuse with it).
    std::size_t connectionsOpened() const;
    void closeIdleConnections();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace fv
