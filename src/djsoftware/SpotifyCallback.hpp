#pragma once
// The loopback listener that takes the browser's redirect after the Spotify sign-in. Spotify
// accepts loopback IP literals with any port ("localhost" is refused), so it listens on
// 127.0.0.1 on a port the system chooses.
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

namespace fv {

// The query items of a URL target ("/path?a=1&b=%20"); "+" is a blank, broken escapes stay as
// they are.
std::map<std::string, std::string> queryItems(std::string_view target);

class SpotifyCallbackListener {
public:
    // Binds at once on the calling coroutine's loop; throws std::system_error when it cannot.
    SpotifyCallbackListener();
    ~SpotifyCallbackListener();
    SpotifyCallbackListener(const SpotifyCallbackListener&) = delete;
    SpotifyCallbackListener& operator=(const SpotifyCallbackListener&) = delete;

    int port() const;
    std::string redirectUri() const;

    // The query items of the first GET /callback whose `state` is the expected one; other
    // requests are answered and ignored. Nothing when the time runs out.
    boost::asio::awaitable<std::optional<std::map<std::string, std::string>>> wait(std::string state,
                                                                                  std::chrono::milliseconds timeout);

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace fv
