#include <gtest/gtest.h>

#include "session/RealtimeProtocol.hpp"

using namespace fv;
using namespace fv::realtime;
using namespace std::chrono_literals;

namespace {
template <typename T, typename V>
struct isAlternative;
template <typename T, typename... Ts>
struct isAlternative<T, std::variant<Ts...>> : std::bool_constant<(std::is_same_v<T, Ts> || ...)> {};

// A copy, so a result taken from a temporary action list stays valid.
template <typename T>
std::optional<T> first(const std::vector<Action>& a) {
    for (const auto& x : a) {
        if constexpr (isAlternative<T, Action>::value) {
            if (auto p = std::get_if<T>(&x)) return *p;
        } else {
            if (auto e = std::get_if<Event>(&x))
                if (auto p = std::get_if<T>(e)) return *p;
        }
    }
    return std::nullopt;
}
}  // namespace

TEST(RealtimeFrames, OpenPingAndConnect) {
    auto open = handleFrame(R"(0{"sid":"x","pingInterval":20000,"pingTimeout":5000})");
    ASSERT_TRUE(first<SetTimings>(open));
    EXPECT_EQ(first<SetTimings>(open)->pingInterval, 20000ms);
    EXPECT_EQ(first<SetTimings>(open)->pingTimeout, 5000ms);
    EXPECT_EQ(first<Send>(open)->text, "40");

    auto bare = handleFrame(R"(0{"sid":"x"})");
    EXPECT_EQ(first<SetTimings>(bare)->pingInterval, 25000ms);
    // Timings no clock can hold end the connection instead of overflowing a conversion.
    for (const char* hostile : {R"(0{"pingInterval":1e300,"pingTimeout":5000})",
                                R"(0{"pingInterval":25000,"pingTimeout":9.3e18})",
                                R"(0{"pingInterval":86400001,"pingTimeout":5000})"}) {
        auto actions = handleFrame(hostile);
        ASSERT_TRUE(first<ProtocolError>(actions)) << hostile;
        EXPECT_FALSE(first<SetTimings>(actions)) << hostile;
        EXPECT_FALSE(first<Send>(actions)) << hostile;
    }
    EXPECT_EQ(first<SetTimings>(handleFrame(R"(0{"pingInterval":-5,"pingTimeout":"x"})"))->pingTimeout, 20000ms);
    // Even an unreadable open frame is answered.
    EXPECT_EQ(first<Send>(handleFrame("0{garbage"))->text, "40");

    EXPECT_EQ(first<Send>(handleFrame("2"))->text, "3");
    EXPECT_TRUE(handleFrame("3").empty());
    EXPECT_TRUE(first<Connected>(handleFrame(R"(40{"sid":"abc"})")));
    EXPECT_TRUE(first<ServerClosed>(handleFrame("41")));
    EXPECT_TRUE(handleFrame("6").empty());
    EXPECT_TRUE(handleFrame("").empty());
    EXPECT_EQ(joinFrame("ev-1"), R"(42["join-dj",{"eventId":"ev-1"}])");
    EXPECT_EQ(joinFrame("a\"b"), R"(42["join-dj",{"eventId":"a\"b"}])");
}

TEST(RealtimeFrames, EventDispatchAndDroppedPayloads) {
    auto reqs = handleFrame(
        R"(42["new-request",{"requests":[{"id":1,"title":"a","artist":"b","status":"pending","created_at":"t"}]}])");
    ASSERT_TRUE(first<NewRequest>(reqs));
    EXPECT_EQ(first<NewRequest>(reqs)->requests.at(0).id, 1);
    EXPECT_TRUE(first<RequestsUpdated>(handleFrame(R"(42["requests-updated",{"requests":[]}])")));
    EXPECT_TRUE(first<NewMessage>(handleFrame(R"(42["new-message",{"messages":[{"id":2,"content":"hi","created_at":"t"}]}])")));
    EXPECT_EQ(first<GuestCount>(handleFrame(R"(42["guest-count",17])"))->count, 17);
    EXPECT_TRUE(handleFrame(R"(42["guest-count","17"])").empty());
    EXPECT_TRUE(first<AdHide>(handleFrame(R"(42["ad-hide"])")));
    EXPECT_TRUE(first<PlanUpdated>(handleFrame(R"(42["plan-updated"])")));
    EXPECT_TRUE(first<PlanUpdated>(handleFrame(R"(42["plan-updated",{"plan":"pro"}])")));
    auto ad = first<ObjectEvent>(handleFrame(R"(42["ad-show",{"id":"x"}])"));
    ASSERT_TRUE(ad);
    EXPECT_EQ(ad->name, "ad-show");
    EXPECT_EQ(first<NowPlaying>(handleFrame(R"(42["now-playing",{"track_title":"T","track_artist":"A","updated_at":"u"}])"))
                  ->info.trackTitle,
              "T");
    // Dropped: unknown status, unknown event, no name, broken JSON, object event with an array.
    EXPECT_TRUE(handleFrame(
                    R"(42["new-request",{"requests":[{"id":1,"title":"a","artist":"b","status":"archived","created_at":"t"}]}])")
                    .empty());
    EXPECT_TRUE(handleFrame(R"(42["something-else",{}])").empty());
    EXPECT_TRUE(handleFrame(R"(42[5,{}])").empty());
    EXPECT_TRUE(handleFrame(R"(42["new-request",)").empty());
    EXPECT_TRUE(handleFrame(R"(42["contest-winner",[1]])").empty());
    EXPECT_TRUE(handleFrame(R"(42["new-request"])").empty());
}

TEST(RealtimeFrames, UrlsAndBackoff) {
    EXPECT_EQ(webSocketURL("http://127.0.0.1:3000"), "ws://127.0.0.1:3000/ws/?EIO=4&transport=websocket");
    EXPECT_EQ(webSocketURL("https://api.example.org/"), "wss://api.example.org/ws/?EIO=4&transport=websocket");
    EXPECT_EQ(webSocketURL("ftp://x"), "");
    EXPECT_EQ(webSocketURL("http://"), "");
    EXPECT_EQ(webSocketURL("http://a b"), "");
    std::vector<int64_t> delays;
    for (int i = 1; i <= 7; ++i) delays.push_back(reconnectDelay(i).count());
    EXPECT_EQ(delays, (std::vector<int64_t>{1, 2, 4, 8, 10, 10, 10}));
}
