// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "session/NotificationStore.hpp"

#include <algorithm>

#include "core/Log.hpp"
#include "session/APIClient.hpp"

namespace fv {

boost::asio::awaitable<void> NotificationStore::fetch() {
    isLoading_ = true;
    std::string failure;
    try {
        DJNotificationsResponse r = co_await api_.getNotifications();
        notifications_ = std::move(r.notifications);
        unreadCount_ = r.unreadCount;
        lastError_.reset();
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (!failure.empty()) {
        logLine("NotificationStore", "Error fetching notifications: " + failure);
        lastError_ = failure;
    }
    isLoading_ = false;
}

boost::asio::awaitable<void> NotificationStore::markRead(int64_t id) {
    std::string failure;
    try {
        co_await api_.markNotificationRead(id);
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (!failure.empty()) {
        logLine("NotificationStore", "Error marking notification read: " + failure);
        co_return;
    }
    for (auto& n : notifications_)
        if (n.id == id) n.isRead = true;
    unreadCount_ = std::max<int64_t>(0, unreadCount_ - 1);
}

boost::asio::awaitable<void> NotificationStore::markAllRead() {
    std::string failure;
    try {
        co_await api_.markAllNotificationsRead();
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (!failure.empty()) {
        logLine("NotificationStore", "Error marking notification read: " + failure);
        co_return;
    }
    for (auto& n : notifications_) n.isRead = true;
    unreadCount_ = 0;
}

std::vector<DJNotification> NotificationStore::importantUnread() const {
    std::vector<DJNotification> out;
    for (const auto& n : notifications_)
        if (!n.isRead && (n.severity == "warning" || n.severity == "error")) out.push_back(n);
    return out;
}

}  // namespace fv
