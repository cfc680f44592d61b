#include "session/RequestStore.hpp"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>


namespace fv {
namespace {
template <typename T>
std::vector<T> dedupeById(std::vector<T> in) {
    // The last copy of an id wins, at the position of its first appearance.
    std::unordered_map<int64_t, size_t> pos;
    std::vector<T> out;
    out.reserve(in.size());
    for (auto& e : in) {
        auto [it, fresh] = pos.emplace(e.id, out.size());
        if (fresh)
            out.push_back(std::move(e));
        else
            out[it->second] = std::move(e);
    }
    return out;
}

template <typename T>
std::vector<int64_t> merge(std::vector<T>& list, const std::vector<T>& arrivals) {
    std::unordered_map<int64_t, size_t> pos;
    for (size_t i = 0; i < list.size(); ++i) pos.emplace(list[i].id, i);
    std::vector<int64_t> fresh;
    for (const auto& a : arrivals) {
        if (auto it = pos.find(a.id); it != pos.end()) {
            list[it->second] = a;
        } else {
            pos.emplace(a.id, list.size());
            list.push_back(a);
            fresh.push_back(a.id);
        }
    }
    return fresh;
}

std::vector<MusicRequest> withStatus(const std::vector<MusicRequest>& all, RequestStatus s) {
    std::vector<MusicRequest> out;
    for (const auto& r : all)
        if (r.status == s) out.push_back(r);
    return out;
}

void byVotes(std::vector<MusicRequest>& v) {
    std::stable_sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return a.voteCount > b.voteCount; });
}

bool startsWith(const std::string& s, std::string_view p) { return s.compare(0, p.size(), p) == 0; }
}  // namespace

void RequestStore::changed() {
    if (onRequestsChanged) onRequestsChanged();
}

void RequestStore::setRequests(std::vector<MusicRequest> requests) {
    requests_ = dedupeById(std::move(requests));
    changed();
}

std::vector<int64_t> RequestStore::add(const std::vector<MusicRequest>& arrivals) {
    auto fresh = merge(requests_, arrivals);
    changed();
    return fresh;
}

bool RequestStore::updateStatus(int64_t id, RequestStatus status) {
    for (auto& r : requests_) {
        if (r.id == id) {
            r.status = status;
            changed();
            return true;
        }
    }
    return false;
}

const MusicRequest* RequestStore::find(int64_t id) const {
    for (const auto& r : requests_)
        if (r.id == id) return &r;
    return nullptr;
}

std::vector<MusicRequest> RequestStore::pending() const {
    auto v = withStatus(requests_, RequestStatus::pending);
    byVotes(v);
    return v;
}

std::vector<MusicRequest> RequestStore::queue() const {
    auto v = withStatus(requests_, RequestStatus::confirmed);
    std::stable_sort(v.begin(), v.end(), [](const auto& a, const auto& b) {
        return a.confirmedAt.value_or("") < b.confirmedAt.value_or("");
    });
    return v;
}

std::vector<MusicRequest> RequestStore::declined() const { return withStatus(requests_, RequestStatus::declined); }
std::vector<MusicRequest> RequestStore::played() const { return withStatus(requests_, RequestStatus::played); }

std::vector<MusicRequest> RequestStore::topVotes() const {
    std::vector<MusicRequest> v;
    for (const auto& r : requests_)
        if ((r.status == RequestStatus::pending || r.status == RequestStatus::confirmed) && r.voteCount > 0)
            v.push_back(r);
    byVotes(v);
    if (v.size() > topVotesLimit) v.resize(topVotesLimit);
    return v;
}

void MessageStore::changed() {
    if (onMessagesChanged) onMessagesChanged();
}

void MessageStore::setMessages(std::vector<GuestMessage> messages) {
    messages_ = dedupeById(std::move(messages));
    changed();
}

std::vector<int64_t> MessageStore::add(const std::vector<GuestMessage>& arrivals) {
    auto fresh = merge(messages_, arrivals);
    changed();
    return fresh;
}

void MessageStore::remove(int64_t id) {
    std::erase_if(messages_, [id](const auto& m) { return m.id == id; });
    changed();
}

void MessageStore::removeAll() {
    messages_.clear();
    changed();
}

std::vector<GuestMessage> MessageStore::unread() const {
    std::vector<GuestMessage> out;
    for (const auto& m : messages_)
        if (!m.isRead) out.push_back(m);
    return out;
}

std::pair<int64_t, int64_t> MessageStore::voteTally(const std::string& title) const {
    if (title.empty()) return {0, 0};
    int64_t up = 0, down = 0;
    for (const auto& m : messages_) {
        if (m.messageType != "track_vote" || m.content.find(title) == std::string::npos) continue;
        if (startsWith(m.content, "\xF0\x9F\x91\x8D"))  // thumbs up
            ++up;
        else if (startsWith(m.content, "\xF0\x9F\x91\x8E"))  // thumbs down
            ++down;
    }
    return {up, down};
}

}  // namespace fv
