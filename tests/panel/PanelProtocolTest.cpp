// The panel's message decoding (untrusted input from a browser tab), the access checks and the
// state bookkeeping, as pure code.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "panel/PanelProtocol.hpp"
#include "panel/PanelSecurity.hpp"
#include "session/AppSettings.hpp"

using namespace fv;
using namespace fv::panel;
using ::testing::HasSubstr;

namespace {

PanelCommandError refused(std::string_view message) {
    try {
        (void)decodeCommand(message);
    } catch (const PanelCommandError& e) {
        return e;
    }
    ADD_FAILURE() << "accepted: " << message;
    return PanelCommandError("", 0);
}

MusicRequest req(int64_t id, const std::string& title, RequestStatus s = RequestStatus::pending, int64_t votes = 0) {
    MusicRequest r;
    r.id = id;
    r.title = title;
    r.artist = "Band";
    r.status = s;
    r.voteCount = votes;
    return r;
}

}  // namespace

TEST(PanelCommands, DecodeEveryCommandOfThePage) {
    auto c = decodeCommand(R"({"t":"confirm","req":7,"ids":[3,1,3,2]})");
    EXPECT_EQ(c.kind, PanelCommand::Kind::confirm);
    EXPECT_EQ(c.req, 7);
    // A double click that put an id in twice changes it once; the order stays.
    EXPECT_EQ(c.ids, (std::vector<int64_t>{3, 1, 2}));
    EXPECT_EQ(decodeCommand(R"({"t":"decline","ids":[9]})").kind, PanelCommand::Kind::decline);
    EXPECT_EQ(decodeCommand(R"({"t":"played","ids":[9]})").kind, PanelCommand::Kind::played);

    auto r = decodeCommand(R"({"t":"reply","req":1,"messageId":5,"text":"  Kommt gleich! 🎶 \n"})");
    EXPECT_EQ(r.kind, PanelCommand::Kind::reply);
    EXPECT_EQ(r.messageId, 5);
    EXPECT_EQ(r.text, "Kommt gleich! 🎶");
    EXPECT_EQ(decodeCommand(R"({"t":"deleteMessage","messageId":5})").messageId, 5);
    EXPECT_EQ(decodeCommand(R"({"t":"deleteAllMessages"})").kind, PanelCommand::Kind::deleteAllMessages);
    EXPECT_EQ(decodeCommand(R"({"t":"broadcast","text":"<b>Letzte Runde</b>"})").text, "<b>Letzte Runde</b>");
    EXPECT_TRUE(decodeCommand(R"({"t":"online","on":true})").on);
    EXPECT_FALSE(decodeCommand(R"({"t":"online","on":false})").on);
    auto a = decodeCommand(R"({"t":"action","req":3,"name":"overlay.showAd","args":{"value":"ad-1"}})");
    EXPECT_EQ(a.action, "overlay.showAd");
    EXPECT_EQ(a.args["value"], "ad-1");
    EXPECT_TRUE(decodeCommand(R"({"t":"action","name":"overlay.hideAd"})").args.is_object());
}

TEST(PanelCommands, MalformedMessagesAreRefusedInGerman) {
    for (const char* bad : {"", "nicht json", "[]", "42", R"({"req":1})", R"({"t":5})", R"({"t":"explode"})",
                            R"({"t":"confirm"})", R"({"t":"confirm","ids":[]})", R"({"t":"confirm","ids":"1"})",
                            R"({"t":"confirm","ids":[0]})", R"({"t":"confirm","ids":[-4]})", R"({"t":"confirm","ids":[1.5]})",
                            R"({"t":"confirm","ids":["1"]})", R"({"t":"confirm","ids":[18446744073709551615]})",
                            R"({"t":"reply","messageId":5})", R"({"t":"reply","messageId":5,"text":"   "})",
                            R"({"t":"reply","text":"x"})", R"({"t":"broadcast","text":7})", R"({"t":"online","on":"ja"})",
                            R"({"t":"action"})", R"({"t":"action","name":""})", R"({"t":"action","name":"x","args":[1]})",
                            R"({"t":"confirm","req":"1","ids":[1]})"}) {
        auto e = refused(bad);
        EXPECT_FALSE(std::string(e.what()).empty()) << bad;
    }
    // The page's number comes back with the error where it could be read.
    EXPECT_EQ(refused(R"({"t":"reply","req":12,"messageId":5,"text":""})").req(), 12);
    EXPECT_THAT(refused(R"({"t":"confirm","ids":[]})").what(), HasSubstr("Keine Wünsche"));
    // Size limits: ids, text, the whole message; and bytes that are not UTF-8.
    std::string many = R"({"t":"confirm","ids":[)";
    for (size_t i = 1; i <= maxIdsPerCommand + 1; ++i) many += (i > 1 ? "," : "") + std::to_string(i);
    EXPECT_THAT(refused(many + "]}").what(), HasSubstr("Zu viele"));
    EXPECT_THAT(refused(R"({"t":"broadcast","text":")" + std::string(maxTextBytes + 1, 'x') + "\"}").what(),
                HasSubstr("zu lang"));
    EXPECT_THAT(refused(std::string(maxCommandBytes + 1, ' ')).what(), HasSubstr("zu groß"));
    EXPECT_THAT(refused("{\"t\":\"broadcast\",\"text\":\"\xC3\x28\"}").what(), HasSubstr("UTF-8"));
    // Deep nesting is only text that fails to parse into a command, never a crash.
    EXPECT_NO_FATAL_FAILURE(refused(std::string(8000, '[') + std::string(8000, ']')));
}

TEST(PanelState, SendsOnlyWhatChangedAndTheWholeStateToANewTab) {
    PanelStateTracker t;
    PanelStateTracker::Snapshot s;
    s.sections["counts"] = {{"guests", 3}};
    s.sections["event"] = {{"name", "Sommerfest"}};
    s.requests = {req(1, "Eins"), req(2, "Zwei")};
    auto first = t.update(s);
    ASSERT_TRUE(first);
    auto j = json::parse(*first);
    EXPECT_EQ(j["t"], "state");
    EXPECT_EQ(j["requests"]["upsert"].size(), 2u);
    EXPECT_EQ(j["sections"].size(), 2u);

    EXPECT_FALSE(t.update(s)) << "nothing changed, nothing sent";

    s.sections["counts"] = {{"guests", 4}};
    s.requests[1].voteCount = 9;
    s.requests.erase(s.requests.begin());
    s.messages.push_back(GuestMessage{});
    s.messages.back().id = 5;
    s.messages.back().content = "<img src=x onerror=alert(1)>";
    j = json::parse(*t.update(s));
    EXPECT_FALSE(j["full"].get<bool>());
    EXPECT_EQ(j["sections"].size(), 1u);
    EXPECT_EQ(j["sections"]["counts"]["guests"], 4);
    ASSERT_EQ(j["requests"]["upsert"].size(), 1u);
    EXPECT_EQ(j["requests"]["upsert"][0]["votes"], 9);
    EXPECT_EQ(j["requests"]["remove"], json::array({1}));
    // Guest text is carried as it was typed; the page sets it as text.
    EXPECT_EQ(j["messages"]["upsert"][0]["content"], "<img src=x onerror=alert(1)>");

    j = json::parse(t.full());
    EXPECT_TRUE(j["full"].get<bool>());
    EXPECT_EQ(j["sections"]["counts"]["guests"], 4);
    EXPECT_EQ(j["sections"]["event"]["name"], "Sommerfest");
    EXPECT_EQ(j["requests"]["upsert"].size(), 1u);
    EXPECT_EQ(j["messages"]["upsert"].size(), 1u);

    // An id the service listed twice is sent once (the last copy).
    s.requests = {req(3, "a"), req(3, "b")};
    j = json::parse(*t.update(s));
    ASSERT_EQ(j["requests"]["upsert"].size(), 1u);
    EXPECT_EQ(j["requests"]["upsert"][0]["title"], "b");
}

TEST(PanelState, InvalidUtf8FromTheServiceStillGivesValidJson) {
    PanelStateTracker t;
    PanelStateTracker::Snapshot s;
    s.requests = {req(1, std::string("kaputt \xFF"))};
    auto text = t.update(s);
    ASSERT_TRUE(text);
    EXPECT_TRUE(json::accept(*text));
    EXPECT_TRUE(json::accept(t.full()));
}

// ---- access checks ----------------------------------------------------------------------------

namespace {
const std::string token = std::string(64, 'a');
PanelRequest get(std::string target, std::string host = "127.0.0.1:8766") {
    PanelRequest r;
    r.method = "GET";
    r.target = std::move(target);
    r.host = std::move(host);
    return r;
}
PanelVerdict::Kind kindOf(const PanelRequest& r) { return checkPanelRequest(r, 8766, token).kind; }
}  // namespace

TEST(PanelAccess, TheTokenMovesFromTheUrlIntoAStrictCookie) {
    auto first = checkPanelRequest(get("/?token=" + token), 8766, token);
    EXPECT_EQ(first.kind, PanelVerdict::Kind::redirect);
    EXPECT_EQ(first.location, "/");
    EXPECT_EQ(panelCookie(8766, token), "fv_panel_8766=" + token + "; Path=/; HttpOnly; SameSite=Strict");

    auto withCookie = get("/panel.js");
    withCookie.cookie = "andere=1; fv_panel_8766=" + token + "; x=y";
    auto v = checkPanelRequest(withCookie, 8766, token);
    EXPECT_EQ(v.kind, PanelVerdict::Kind::serve);
    EXPECT_EQ(v.path, "/panel.js");

    // No token, a wrong one, one of another port's session, one cut short.
    EXPECT_EQ(kindOf(get("/")), PanelVerdict::Kind::forbidden);
    EXPECT_EQ(kindOf(get("/?token=" + std::string(64, 'b'))), PanelVerdict::Kind::forbidden);
    EXPECT_EQ(kindOf(get("/?token=" + token.substr(1))), PanelVerdict::Kind::forbidden);
    EXPECT_EQ(kindOf(get("/?token=")), PanelVerdict::Kind::forbidden);
    auto otherPort = get("/");
    otherPort.cookie = "fv_panel_8767=" + token;
    EXPECT_EQ(kindOf(otherPort), PanelVerdict::Kind::forbidden);
    EXPECT_FALSE(sameSecret("", ""));
    EXPECT_EQ(makePanelToken().size(), 64u);
    EXPECT_NE(makePanelToken(), makePanelToken());
}

TEST(PanelAccess, ForeignHostsOriginsAndSitesAreRefused) {
    auto ok = get("/?token=" + token);
    // DNS rebinding: a foreign name that resolves to 127.0.0.1 arrives with that name as Host.
    for (const char* host : {"evil.example:8766", "127.0.0.1", "127.0.0.1:8767", "127.0.0.1.evil.example:8766",
                             "[::1]:8766", "192.168.1.20:8766", ""}) {
        auto r = ok;
        r.host = host;
        EXPECT_EQ(kindOf(r), PanelVerdict::Kind::forbidden) << host;
    }
    auto noHost = ok;
    noHost.host.reset();
    EXPECT_EQ(kindOf(noHost), PanelVerdict::Kind::forbidden);
    auto localhost = ok;
    localhost.host = "LOCALHOST:8766";
    EXPECT_EQ(kindOf(localhost), PanelVerdict::Kind::redirect);

    for (const char* origin : {"http://evil.example", "http://127.0.0.1:3000", "null", "https://127.0.0.1:8766",
                               "http://localhost:8766"}) {
        auto r = ok;
        r.origin = origin;
        EXPECT_EQ(kindOf(r), PanelVerdict::Kind::forbidden) << origin;
    }
    auto same = ok;
    same.origin = "http://127.0.0.1:8766";
    EXPECT_EQ(kindOf(same), PanelVerdict::Kind::redirect);

    for (const char* site : {"cross-site", "same-site"}) {
        auto r = ok;
        r.secFetchSite = site;
        EXPECT_EQ(kindOf(r), PanelVerdict::Kind::forbidden) << site;
    }
    for (const char* site : {"none", "same-origin"}) {
        auto r = ok;
        r.secFetchSite = site;
        EXPECT_EQ(kindOf(r), PanelVerdict::Kind::redirect) << site;
    }

    // WebSocket upgrades need the panel's own Origin.
    auto ws = get("/ws");
    ws.upgrade = true;
    ws.cookie = "fv_panel_8766=" + token;
    EXPECT_EQ(kindOf(ws), PanelVerdict::Kind::forbidden);
    ws.origin = "http://127.0.0.1:8766";
    EXPECT_EQ(kindOf(ws), PanelVerdict::Kind::serve);
    ws.origin = "http://127.0.0.1:9999";
    EXPECT_EQ(kindOf(ws), PanelVerdict::Kind::forbidden);

    // Other methods: refused outright without the token, told apart only with it.
    auto post = get("/");
    post.method = "POST";
    EXPECT_EQ(kindOf(post), PanelVerdict::Kind::forbidden);
    post.cookie = "fv_panel_8766=" + token;
    EXPECT_EQ(kindOf(post), PanelVerdict::Kind::wrongMethod);
}

TEST(PanelSettings, PortAndOverlayAddressAreCheckedWhenStored) {
    AppSettings s;
    EXPECT_EQ(s.overlayListenAddress, "127.0.0.1");
    json doc = json::parse(s.toJson().dump());
    doc["overlayListenAddress"] = "192.168.1.20";
    EXPECT_EQ(AppSettings::fromJson(doc).overlayListenAddress, "192.168.1.20");
    doc["overlayListenAddress"] = "::";
    EXPECT_EQ(AppSettings::fromJson(doc).overlayListenAddress, "::");
    doc["overlayListenAddress"] = "überall";
    EXPECT_THROW(AppSettings::fromJson(doc), DecodeError);
    doc["overlayListenAddress"] = "127.0.0.1";
    doc["panelPort"] = 70000;
    EXPECT_THROW(AppSettings::fromJson(doc), DecodeError);
}
