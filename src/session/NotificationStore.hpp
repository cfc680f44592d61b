#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "session/Records.hpp"

namespace fv {

class APIClient;

// Messages from the service to the DJ account, on the main loop. Failures only log; the lists stay.
class NotificationStore {
public:
    explicit NotificationStore(APIClient& api) : api_(api) {}

    const std::vector<DJNotification>& notifications() const { return notifications_; }
    int64_t unreadCount() const { return unreadCount_; }
    bool isLoading() const { return isLoading_; }
    const std::optional<std::string>& lastError() const { return lastError_; }

    boost::asio::awaitable<void> fetch();
    boost::asio::awaitable<void> markRead(int64_t id);
    boost::asio::awaitable<void> markAllRead();
    // Unread warnings and errors.
    std::vector<DJNotification> importantUnread() const;

private:
    APIClient& api_;
    std::vector<DJNotification> notifications_;
    int64_t unreadCount_ = 0;
    bool isLoading_ = false;
    std::optional<std::string> lastError_;
};

}  // namespace fv
