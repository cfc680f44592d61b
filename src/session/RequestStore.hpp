#pragma once
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "session/Records.hpp"

namespace fv {

// The event's song requests, on the main loop. Derived lists are computed on each read; sorts
// are stable so ties keep the order the service delivered.
class RequestStore {
public:
    static constexpr size_t topVotesLimit = 20;

    const std::vector<MusicRequest>& requests() const { return requests_; }
    // Replaces the list as a whole (REST load, "requests-updated").
    void setRequests(std::vector<MusicRequest> requests);
    // Adds arrivals ("new-request"); an id already known is updated in place, so each id appears once.
    // Returns the ids that were new.
    std::vector<int64_t> add(const std::vector<MusicRequest>& arrivals);
    // The local copy takes the status the service accepted; false when the id is unknown.
    bool updateStatus(int64_t id, RequestStatus status);
    const MusicRequest* find(int64_t id) const;

    std::vector<MusicRequest> pending() const;
    std::vector<MusicRequest> queue() const;
    std::vector<MusicRequest> declined() const;
    std::vector<MusicRequest> played() const;
    std::vector<MusicRequest> topVotes() const;

    std::function<void()> onRequestsChanged;

private:
    void changed();
    std::vector<MusicRequest> requests_;
};

// Guest messages, replies and broadcasts, on the main loop.
class MessageStore {
public:
    const std::vector<GuestMessage>& messages() const { return messages_; }
    void setMessages(std::vector<GuestMessage> messages);
    // Adds arrivals ("new-message"); known ids are updated in place. Returns the ids that were new.
    std::vector<int64_t> add(const std::vector<GuestMessage>& arrivals);
    void remove(int64_t id);
    void removeAll();

    std::vector<GuestMessage> unread() const;
    // Up and down votes for the title playing now; (0, 0) without one.
    std::pair<int64_t, int64_t> voteTally(const std::string& nowPlayingTitle) const;

    std::function<void()> onMessagesChanged;

private:
    void changed();
    std::vector<GuestMessage> messages_;
};

}  // namespace fv
