#include <gtest/gtest.h>

#include "session/RequestStore.hpp"

using namespace fv;

namespace {
using Tally = std::pair<int64_t, int64_t>;
MusicRequest req(int64_t id, RequestStatus s, int64_t votes = 0, std::optional<std::string> confirmedAt = {}) {
    MusicRequest r;
    r.id = id;
    r.title = "T" + std::to_string(id);
    r.artist = "A";
    r.status = s;
    r.voteCount = votes;
    r.createdAt = "t";
    r.confirmedAt = std::move(confirmedAt);
    return r;
}
std::vector<int64_t> ids(const std::vector<MusicRequest>& v) {
    std::vector<int64_t> out;
    for (const auto& r : v) out.push_back(r.id);
    return out;
}
GuestMessage msg(int64_t id, std::string content, std::string type = "message", bool read = false) {
    GuestMessage m;
    m.id = id;
    m.content = std::move(content);
    m.messageType = std::move(type);
    m.isRead = read;
    m.createdAt = "t";
    return m;
}
}  // namespace

TEST(RequestStore, DerivedListsKeepDeliveredOrderOnTies) {
    RequestStore s;
    int changes = 0;
    s.onRequestsChanged = [&] { ++changes; };
    s.setRequests({req(1, RequestStatus::pending, 5), req(2, RequestStatus::pending, 7),
                   req(3, RequestStatus::pending, 5), req(4, RequestStatus::confirmed, 0, "2026-01-01T10:00:00Z"),
                   req(5, RequestStatus::confirmed, 3), req(6, RequestStatus::confirmed, 1, "2026-01-01T09:00:00Z"),
                   req(7, RequestStatus::declined, 50), req(8, RequestStatus::played, 40),
                   req(9, RequestStatus::pending, 0)});
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(ids(s.pending()), (std::vector<int64_t>{2, 1, 3, 9}));
    // Without a confirmation time first, then by time.
    EXPECT_EQ(ids(s.queue()), (std::vector<int64_t>{5, 6, 4}));
    EXPECT_EQ(ids(s.declined()), (std::vector<int64_t>{7}));
    EXPECT_EQ(ids(s.played()), (std::vector<int64_t>{8}));
    // Declined, played and unvoted requests never make the top votes.
    EXPECT_EQ(ids(s.topVotes()), (std::vector<int64_t>{2, 1, 3, 5, 6}));
}

TEST(RequestStore, TopVotesAreCappedAtTwenty) {
    RequestStore s;
    std::vector<MusicRequest> many;
    for (int i = 1; i <= 25; ++i) many.push_back(req(i, RequestStatus::pending, i));
    s.setRequests(many);
    auto top = s.topVotes();
    ASSERT_EQ(top.size(), 20u);
    EXPECT_EQ(top.front().id, 25);
    EXPECT_EQ(top.back().id, 6);
}

TEST(RequestStore, EachIdAppearsOnceAndArrivalsReportOnlyNewIds) {
    RequestStore s;
    s.setRequests({req(1, RequestStatus::pending), req(1, RequestStatus::confirmed), req(2, RequestStatus::pending)});
    ASSERT_EQ(s.requests().size(), 2u);
    EXPECT_EQ(s.requests()[0].status, RequestStatus::confirmed);
    auto fresh = s.add({req(2, RequestStatus::pending, 9), req(3, RequestStatus::pending)});
    EXPECT_EQ(fresh, (std::vector<int64_t>{3}));
    EXPECT_EQ(s.requests().size(), 3u);
    EXPECT_EQ(s.find(2)->voteCount, 9);
    EXPECT_TRUE(s.updateStatus(3, RequestStatus::declined));
    EXPECT_FALSE(s.updateStatus(99, RequestStatus::declined));
    EXPECT_EQ(s.find(3)->status, RequestStatus::declined);
}

TEST(MessageStore, VoteTallyCountsOnlyTheTitlePlayingNow) {
    MessageStore s;
    s.setMessages({msg(1, "\xF0\x9F\x91\x8D Blue Monday", "track_vote"), msg(2, "\xF0\x9F\x91\x8E Blue Monday", "track_vote"),
                   msg(3, "\xF0\x9F\x91\x8D Blue Monday", "track_vote"), msg(4, "\xF0\x9F\x91\x8D Blue Monday", "message"),
                   msg(5, "\xF0\x9F\x91\x8D Other Song", "track_vote"), msg(6, "Blue Monday \xF0\x9F\x91\x8D", "track_vote")});
    EXPECT_EQ(s.voteTally("Blue Monday"), Tally(2, 1));
    EXPECT_EQ(s.voteTally("Other Song"), Tally(1, 0));
    EXPECT_EQ(s.voteTally(""), Tally(0, 0));
}

TEST(MessageStore, UnreadArrivalsAndDeletes) {
    MessageStore s;
    int changes = 0;
    s.onMessagesChanged = [&] { ++changes; };
    s.setMessages({msg(1, "a", "message", true), msg(2, "b")});
    EXPECT_EQ(s.unread().size(), 1u);
    EXPECT_EQ(s.add({msg(2, "b"), msg(3, "c")}), (std::vector<int64_t>{3}));
    s.remove(1);
    EXPECT_EQ(s.messages().size(), 2u);
    s.removeAll();
    EXPECT_TRUE(s.messages().empty());
    EXPECT_EQ(changes, 4);
}
