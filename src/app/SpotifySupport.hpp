#pragma once
// The Spotify service as the commands use it: the settings' client id and secret, the standard
// keychain and defaults store, the hosts from the environment.
#include <memory>
#include <optional>
#include <string>

namespace fv {
class SpotifyService;
}

namespace fv::app {

struct SpotifySession {
    SpotifySession();
    ~SpotifySession();
    SpotifyService& service();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A current token for Spotify's catalogue: the DJ's when signed in, else the application's when
// client id and secret are set; nothing otherwise or when Spotify cannot give one (said on the
// terminal, the caller goes on without Spotify).
std::optional<std::string> spotifyCatalogueToken();

}  // namespace fv::app
