#include "panel/PanelProtocol.hpp"

#include <set>

namespace fv::panel {

namespace {

bool validUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        uint32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
        for (size_t k = 1; k < n; ++k) {
            auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        // Overlong forms, surrogates and values beyond Unicode.
        if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n;
    }
    return true;
}

std::string trimmed(const std::string& s) {
    const char* ws = " \t\r\n";
    auto b = s.find_first_not_of(ws);
    if (b == std::string::npos) return {};
    auto e = s.find_last_not_of(ws);
    return s.substr(b, e - b + 1);
}

const json* field(const json& j, const char* key) {
    auto it = j.find(key);
    return it == j.end() ? nullptr : &*it;
}

int64_t positiveId(const json* v, int64_t req, const char* what) {
    if (!v || !v->is_number_integer()) throw PanelCommandError(std::string("Fehlende oder ungültige ") + what, req);
    // Unsigned values beyond the signed range count as invalid too.
    if (v->is_number_unsigned() && v->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX))
        throw PanelCommandError(std::string("Ungültige ") + what, req);
    int64_t id = v->get<int64_t>();
    if (id <= 0) throw PanelCommandError(std::string("Ungültige ") + what, req);
    return id;
}

std::string text(const json& j, int64_t req) {
    const json* v = field(j, "text");
    if (!v || !v->is_string()) throw PanelCommandError("Der Text fehlt.", req);
    std::string t = trimmed(v->get<std::string>());
    if (t.empty()) throw PanelCommandError("Der Text ist leer.", req);
    if (t.size() > maxTextBytes)
        throw PanelCommandError("Der Text ist zu lang (höchstens " + std::to_string(maxTextBytes) + " Zeichen).", req);
    return t;
}

void appendJoined(std::string& out, const std::map<int64_t, std::string>& records, const std::vector<int64_t>* only) {
    bool first = true;
    auto add = [&](const std::string& s) {
        if (!first) out += ',';
        out += s;
        first = false;
    };
    if (only) {
        for (int64_t id : *only) add(records.at(id));
    } else {
        for (const auto& [id, s] : records) add(s);
    }
}

std::string idArray(const std::vector<int64_t>& ids) {
    std::string out = "[";
    for (size_t i = 0; i < ids.size(); ++i) {
        if (i) out += ',';
        out += std::to_string(ids[i]);
    }
    return out + "]";
}

// Replaces `last` by the records of `now` (by id) and tells which ids changed or went.
template <typename Record, typename ToJson>
void diffRecords(std::map<int64_t, std::string>& last, const std::vector<Record>& now, ToJson toJson,
                 std::vector<int64_t>& changed, std::vector<int64_t>& removed) {
    std::map<int64_t, std::string> next;
    for (const auto& r : now) {
        std::string s = toJson(r).dump(-1, ' ', false, json::error_handler_t::replace);
        auto it = last.find(r.id);
        if (it == last.end() || it->second != s) changed.push_back(r.id);
        next[r.id] = std::move(s);
    }
    for (const auto& [id, s] : last)
        if (!next.count(id)) removed.push_back(id);
    last = std::move(next);
    // An id listed twice by the service is sent once.
    std::set<int64_t> seen;
    std::vector<int64_t> unique;
    for (int64_t id : changed)
        if (seen.insert(id).second) unique.push_back(id);
    changed = std::move(unique);
}

}  // namespace

PanelCommand decodeCommand(std::string_view message) {
    if (message.size() > maxCommandBytes) throw PanelCommandError("Die Nachricht ist zu groß.", 0);
    if (!validUtf8(message)) throw PanelCommandError("Die Nachricht ist kein gültiges UTF-8.", 0);
    json j = json::parse(message, nullptr, false);
    if (j.is_discarded() || !j.is_object()) throw PanelCommandError("Die Nachricht ist unverständlich.", 0);

    int64_t req = 0;
    if (const json* r = field(j, "req")) {
        if (!r->is_number_integer() || (r->is_number_unsigned() && r->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)))
            throw PanelCommandError("Die Nachricht ist unverständlich.", 0);
        req = r->get<int64_t>();
    }
    const json* t = field(j, "t");
    if (!t || !t->is_string()) throw PanelCommandError("Die Nachricht ist unverständlich.", req);
    const std::string type = t->get<std::string>();

    PanelCommand c;
    c.req = req;
    if (type == "confirm" || type == "decline" || type == "played") {
        c.kind = type == "confirm" ? PanelCommand::Kind::confirm
                 : type == "decline" ? PanelCommand::Kind::decline
                                     : PanelCommand::Kind::played;
        const json* ids = field(j, "ids");
        if (!ids || !ids->is_array() || ids->empty()) throw PanelCommandError("Keine Wünsche ausgewählt.", req);
        if (ids->size() > maxIdsPerCommand) throw PanelCommandError("Zu viele Wünsche auf einmal.", req);
        std::set<int64_t> seen;
        for (const auto& v : *ids) {
            int64_t id = positiveId(&v, req, "Wunsch-ID");
            // A double click that sent an id twice changes it once.
            if (seen.insert(id).second) c.ids.push_back(id);
        }
    } else if (type == "reply") {
        c.kind = PanelCommand::Kind::reply;
        c.messageId = positiveId(field(j, "messageId"), req, "Nachrichten-ID");
        c.text = text(j, req);
    } else if (type == "deleteMessage") {
        c.kind = PanelCommand::Kind::deleteMessage;
        c.messageId = positiveId(field(j, "messageId"), req, "Nachrichten-ID");
    } else if (type == "deleteAllMessages") {
        c.kind = PanelCommand::Kind::deleteAllMessages;
    } else if (type == "broadcast") {
        c.kind = PanelCommand::Kind::broadcast;
        c.text = text(j, req);
    } else if (type == "online") {
        c.kind = PanelCommand::Kind::online;
        const json* on = field(j, "on");
        if (!on || !on->is_boolean()) throw PanelCommandError("Ungültiger Schalterzustand.", req);
        c.on = on->get<bool>();
    } else if (type == "action") {
        c.kind = PanelCommand::Kind::action;
        const json* name = field(j, "name");
        if (!name || !name->is_string() || name->get<std::string>().empty() ||
            name->get<std::string>().size() > maxActionNameBytes)
            throw PanelCommandError("Unbekannte Aktion.", req);
        c.action = name->get<std::string>();
        if (const json* args = field(j, "args")) {
            if (!args->is_object()) throw PanelCommandError("Ungültige Angaben zur Aktion.", req);
            c.args = *args;
        }
    } else {
        throw PanelCommandError("Unbekannter Befehl vom Bedienfeld.", req);
    }
    return c;
}

json requestForPanel(const MusicRequest& r) {
    json j = {{"id", r.id},
              {"title", r.title},
              {"artist", r.artist},
              {"votes", r.voteCount},
              {"status", std::string(toString(r.status))},
              {"guest", r.guestName},
              {"createdAt", r.createdAt}};
    if (r.confirmedAt) j["confirmedAt"] = *r.confirmedAt;
    if (r.bpm > 0) j["bpm"] = r.bpm;
    if (!r.keyNotation.empty()) j["key"] = r.keyNotation;
    return j;
}

json messageForPanel(const GuestMessage& m) {
    return {{"id", m.id},          {"content", m.content},     {"guest", m.guestName},
            {"createdAt", m.createdAt}, {"isRead", m.isRead}, {"isDjReply", m.isDjReply},
            {"type", m.messageType}};
}

const char* channelStateLabel(int kind) {
    switch (kind) {
        case 0: return "getrennt";
        case 1: return "verbindet …";
        case 2: return "verbunden";
        case 3: return "Fehler";
    }
    return "unbekannt";
}

std::string resultMessage(int64_t req, bool ok, const std::string& text,
                          const std::vector<std::pair<int64_t, std::string>>& failures) {
    json j = {{"t", "result"}, {"req", req}, {"ok", ok}};
    if (!text.empty()) j["text"] = text;
    if (!failures.empty()) {
        json list = json::array();
        for (const auto& [id, t] : failures) list.push_back({{"id", id}, {"text", t}});
        j["failures"] = std::move(list);
    }
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string errorMessage(const std::string& text) {
    return json{{"t", "error"}, {"text", text}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<std::string> PanelStateTracker::update(const Snapshot& now) {
    std::string sections;
    for (auto it = now.sections.begin(); it != now.sections.end(); ++it) {
        std::string s = it.value().dump(-1, ' ', false, json::error_handler_t::replace);
        auto last = sections_.find(it.key());
        if (last != sections_.end() && last->second == s) continue;
        sections += (sections.empty() ? "" : ",") + json(it.key()).dump() + ":" + s;
        sections_[it.key()] = std::move(s);
        sectionValues_[it.key()] = it.value();
    }
    std::vector<int64_t> reqChanged, reqRemoved, msgChanged, msgRemoved;
    diffRecords(requests_, now.requests, requestForPanel, reqChanged, reqRemoved);
    diffRecords(messages_, now.messages, messageForPanel, msgChanged, msgRemoved);
    if (sections.empty() && reqChanged.empty() && reqRemoved.empty() && msgChanged.empty() && msgRemoved.empty())
        return std::nullopt;

    std::string out = R"({"t":"state","full":false,"sections":{)" + sections + "}";
    if (!reqChanged.empty() || !reqRemoved.empty()) {
        out += R"(,"requests":{"upsert":[)";
        appendJoined(out, requests_, &reqChanged);
        out += R"(],"remove":)" + idArray(reqRemoved) + "}";
    }
    if (!msgChanged.empty() || !msgRemoved.empty()) {
        out += R"(,"messages":{"upsert":[)";
        appendJoined(out, messages_, &msgChanged);
        out += R"(],"remove":)" + idArray(msgRemoved) + "}";
    }
    return out + "}";
}

std::string PanelStateTracker::full() const {
    std::string out = R"({"t":"state","full":true,"sections":)" +
                      sectionValues_.dump(-1, ' ', false, json::error_handler_t::replace);
    out += R"(,"requests":{"upsert":[)";
    appendJoined(out, requests_, nullptr);
    out += R"(],"remove":[]},"messages":{"upsert":[)";
    appendJoined(out, messages_, nullptr);
    return out + R"(],"remove":[]}})";
}

void PanelStateTracker::reset() {
    sections_.clear();
    requests_.clear();
    messages_.clear();
    sectionValues_ = json::object();
}

}  // namespace fv::panel
