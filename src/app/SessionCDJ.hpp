#pragma once
// Connects the live session to the CDJ library: with the library enabled the manager follows the
// event (online, requests, messages), and what the players do comes back to the event: now
// playing, played requests, requests confirmed from a player's tag list. While it runs, a small
// status file lets `floorvote cdj status` show the mode, the peers and the served lists.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "core/Json.hpp"
#include "djsoftware/CDJLibraryManager.hpp"

namespace fv {
class AppStore;
class Timer;
}  // namespace fv

namespace fv::app {

class SessionCDJ {
public:
    template <typename T>
    using Task = boost::asio::awaitable<T>;

    explicit SessionCDJ(AppStore& store, CDJLibraryManager::Options options = {});
    ~SessionCDJ();
    SessionCDJ(const SessionCDJ&) = delete;
    SessionCDJ& operator=(const SessionCDJ&) = delete;

    // After the event is connected.
    void start();
    void stop();

    CDJLibraryManager* manager() { return manager_.get(); }

    // $XDG_STATE_HOME/floorvote/cdj-status.json: written while a session runs.
    static std::filesystem::path statusFile();
    // The running session's status; nothing when no session with the library runs.
    static std::optional<json> readStatus();

    // Where the session finds the rekordbox database: the stored paths, else a detected library.
    static CDJLibraryManager::RekordboxPaths rekordboxPaths();

private:
    void follow();
    void writeStatus();
    Task<void> confirmTagged(std::string id);
    Task<void> markPlayed(std::string id);

    AppStore& store_;
    CDJLibraryManager::Options options_;
    std::unique_ptr<CDJLibraryManager> manager_;
    std::shared_ptr<Timer> ticker_;
    std::function<void()> savedRequestsChanged_, savedMessagesChanged_;
    std::optional<bool> online_;
    std::string lastStatus_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace fv::app
