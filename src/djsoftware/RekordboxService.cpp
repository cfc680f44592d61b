#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "djsoftware/RekordboxService.hpp"

#include <cstdlib>
#include <filesystem>

#include <unistd.h>

#include "core/Paths.hpp"
#include "djsoftware/PythonRuntime.hpp"
#include "platform/ProcessCheck.hpp"
#include "platform/SecretStore.hpp"

// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// The calls below hand their body to safePythonCall and return its task without awaiting it
// themselves: GCC 12 destroys a lambda temporary twice when it is converted inside a co_await.

namespace fv {
namespace fs = std::filesystem;

RekordboxServiceError RekordboxServiceError::databaseAccessFailed(const std::string& text) {
    return RekordboxServiceError(Kind::databaseAccessFailed, "Rekordbox-Datenbank konnte nicht gelesen werden: " + text);
}
RekordboxServiceError RekordboxServiceError::pythonRuntimeMissing() {
    return RekordboxServiceError(Kind::pythonRuntimeMissing,
                                 "Python-Runtime nicht gefunden. Rekordbox-Integration nicht verfügbar.");
}
RekordboxServiceError RekordboxServiceError::databaseNotFound() {
    return RekordboxServiceError(Kind::databaseNotFound, "Rekordbox master.db nicht gefunden.");
}

RekordboxPlaylist RekordboxPlaylist::fromJson(const json& j) {
    jsonx::requireObject(j, "RekordboxPlaylist");
    RekordboxPlaylist p;
    p.id = jsonx::required<std::string>(j, "id");
    p.name = jsonx::required<std::string>(j, "name");
    p.trackCount = jsonx::required<int64_t>(j, "trackCount");
    p.path = jsonx::optional<std::string>(j, "path");
    p.sequence = jsonx::optional<int64_t>(j, "sequence");
    p.parentId = jsonx::optional<std::string>(j, "parentId");
    p.isFolder = jsonx::required<bool>(j, "isFolder");
    return p;
}

RekordboxNowPlaying RekordboxNowPlaying::fromJson(const json& j) {
    jsonx::requireObject(j, "RekordboxNowPlaying");
    return {jsonx::required<std::string>(j, "title"), jsonx::required<std::string>(j, "artist")};
}

RekordboxAccessValidation RekordboxAccessValidation::fromJson(const json& j) {
    jsonx::requireObject(j, "RekordboxAccessValidation");
    RekordboxAccessValidation v;
    v.ok = jsonx::required<bool>(j, "ok");
    v.error = jsonx::optional<std::string>(j, "error");
    v.type = jsonx::optional<std::string>(j, "type");
    v.trackCount = jsonx::optional<int64_t>(j, "trackCount");
    return v;
}

std::string decodeWriteResult(const json& dict, const std::string& wantedKey) {
    const json* ok = dict.is_object() ? jsonx::find(dict, "ok") : nullptr;
    if (ok && ok->is_boolean() && ok->get<bool>()) {
        if (wantedKey.empty()) return {};
        const json* v = jsonx::find(dict, wantedKey);
        if (v && v->is_string()) return v->get<std::string>();
        if (v && v->is_number_integer()) return std::to_string(v->get<int64_t>());
        throw RekordboxOperationError("Antwort ohne " + wantedKey);
    }
    const json* err = dict.is_object() ? jsonx::find(dict, "error") : nullptr;
    if (err && err->is_string()) throw RekordboxOperationError(err->get<std::string>());
    throw RekordboxOperationError("Unknown error");
}

namespace {

// Owned references, released with the lock held (every use is inside withGil).
struct Ref {
    PyObject* p = nullptr;
    Ref() = default;
    explicit Ref(PyObject* o) : p(o) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p); }
    explicit operator bool() const { return p != nullptr; }
};

std::string utf8(PyObject* o) {
    if (!o) return {};
    Ref s(PyObject_Str(o));
    if (!s) {
        PyErr_Clear();
        return "?";
    }
    Py_ssize_t n = 0;
    const char* c = PyUnicode_AsUTF8AndSize(s.p, &n);
    if (!c) {
        PyErr_Clear();
        return "?";
    }
    return std::string(c, static_cast<size_t>(n));
}

// The pending Python exception as "Type: message", cleared.
std::string takePythonError() {
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_NormalizeException(&type, &value, &trace);
    std::string name = type ? reinterpret_cast<PyTypeObject*>(type)->tp_name : "Exception";
    std::string message = utf8(value);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(trace);
    return message.empty() ? name : name + ": " + message;
}

struct PythonError {
    std::string description;
};

PyObject* toPython(const PythonArg& a) {
    if (auto* s = std::get_if<std::string>(&a))
        return PyUnicode_DecodeUTF8(s->data(), static_cast<Py_ssize_t>(s->size()), "replace");
    if (auto* i = std::get_if<int64_t>(&a)) return PyLong_FromLongLong(*i);
    const auto& list = std::get<std::vector<std::string>>(a);
    PyObject* l = PyList_New(static_cast<Py_ssize_t>(list.size()));
    if (!l) return nullptr;
    for (size_t i = 0; i < list.size(); ++i) {
        PyObject* s = PyUnicode_DecodeUTF8(list[i].data(), static_cast<Py_ssize_t>(list[i].size()), "replace");
        if (!s) {
            Py_DECREF(l);
            return nullptr;
        }
        PyList_SET_ITEM(l, static_cast<Py_ssize_t>(i), s);
    }
    return l;
}

}  // namespace

std::optional<std::string> RekordboxService::storedKey() {
    if (auto k = SecretStore::standard().read(rekordboxKeyService, rekordboxKeyAccount); k && !k->empty()) return k;
    if (const char* e = std::getenv(rekordboxKeyEnv); e && *e) return std::string(e);
    return std::nullopt;
}

RekordboxService& RekordboxService::shared() {
    static RekordboxService* service = new RekordboxService;  // the Python thread lives through exit
    return *service;
}

RekordboxService::RekordboxService()
    : keyProvider(&RekordboxService::storedKey), queue_(std::make_unique<SerialQueue>(rekordboxPythonQueueName)) {}

RekordboxService::~RekordboxService() { queue_->stop(); }

void RekordboxService::ensureInitialized() {
    queue_->assertOnQueue();
    if (initialized_) return;
    try {
        PythonRuntime::shared().configure();
    } catch (const PythonRuntimeError& e) {
        logLine("RekordboxService", std::string("Python runtime: ") + e.what());
        throw RekordboxServiceError::pythonRuntimeMissing();
    }
    initialized_ = true;
}

PythonResult RekordboxService::callModule(const std::string& function, const std::vector<PythonArg>& args) {
    ensureInitialized();
    const std::optional<std::string> key = keyProvider ? keyProvider() : std::nullopt;
    PythonResult result;
    std::optional<PythonError> failure;
    PythonRuntime::shared().withGil([&] {
        auto fail = [&] { failure = PythonError{takePythonError()}; };
        Ref module(PyImport_ImportModule("rekordbox_bridge"));
        if (!module) return fail();
        if (!keyKnown_ || key != keyGiven_) {
            Ref k(key ? PyUnicode_FromStringAndSize(key->data(), static_cast<Py_ssize_t>(key->size()))
                      : (Py_INCREF(Py_None), Py_None));
            Ref r(k ? PyObject_CallMethod(module.p, "set_database_key", "O", k.p) : nullptr);
            if (!r) return fail();
            keyGiven_ = key;
            keyKnown_ = true;
        }
        Ref fn(PyObject_GetAttrString(module.p, function.c_str()));
        if (!fn) return fail();
        Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
        if (!tuple) return fail();
        for (size_t i = 0; i < args.size(); ++i) {
            PyObject* a = toPython(args[i]);
            if (!a) return fail();
            PyTuple_SET_ITEM(tuple.p, static_cast<Py_ssize_t>(i), a);
        }
        Ref out(PyObject_CallObject(fn.p, tuple.p));
        if (!out) return fail();
        if (PyUnicode_Check(out.p)) {
            Py_ssize_t n = 0;
            const char* c = PyUnicode_AsUTF8AndSize(out.p, &n);
            if (!c) return fail();
            result.kind = PythonResult::Kind::text;
            result.text.assign(c, static_cast<size_t>(n));
        } else if (PyDict_Check(out.p)) {
            Ref json(PyImport_ImportModule("json"));
            Ref text(json ? PyObject_CallMethod(json.p, "dumps", "O", out.p) : nullptr);
            if (!text) {
                // A dictionary that is not JSON (sets, objects): treated as no answer.
                PyErr_Clear();
                return;
            }
            result.kind = PythonResult::Kind::dict;
            result.text = utf8(text.p);
        }
    });
    if (failure) {
        logLine("RekordboxService", "safePythonCall: caught PythonError: " + failure->description);
        throw RekordboxServiceError::databaseAccessFailed("Python-Fehler: " + failure->description);
    }
    return result;
}

std::string RekordboxService::callForText(const std::string& function, const std::vector<PythonArg>& args,
                                          const std::string& fallback) {
    PythonResult r = callModule(function, args);
    return r.kind == PythonResult::Kind::other ? fallback : r.text;
}

json RekordboxService::callForDict(const std::string& function, const std::vector<PythonArg>& args) {
    PythonResult r = callModule(function, args);
    if (r.kind == PythonResult::Kind::other) return json::object();
    try {
        return jsonx::parse(r.text);
    } catch (const DecodeError&) {
        return json::object();  // JSON text that is no JSON: an answer without ok
    }
}

namespace {
// A decoding failure of a result is an error of the call.
template <typename F>
auto decoded(const std::string& function, F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const DecodeError& e) {
        throw RekordboxServiceError::databaseAccessFailed(function + ": ungültige Antwort (" + e.what() + ")");
    } catch (const json::exception& e) {
        throw RekordboxServiceError::databaseAccessFailed(function + ": ungültige Antwort (" + e.what() + ")");
    }
}
}  // namespace

RekordboxService::Task<RekordboxAccessValidation> RekordboxService::validateAccess(std::string dbPath,
                                                                                   std::string appSupportPath) {
    return safePythonCall<RekordboxAccessValidation>([=, this] {
        std::string text = callForText("validate_access", {dbPath, appSupportPath},
                                       R"({"ok":false,"error":"Ungültige Antwort des rekordbox-Moduls"})");
        return decoded("validate_access", [&] { return RekordboxAccessValidation::fromJson(jsonx::parse(text)); });
    });
}

RekordboxService::Task<std::vector<RekordboxPlaylist>> RekordboxService::listPlaylists(std::string dbPath,
                                                                                       std::string appSupportPath) {
    return safePythonCall<std::vector<RekordboxPlaylist>>([=, this] {
        std::string text = callForText("list_playlists", {dbPath, appSupportPath}, "[]");
        return decoded("list_playlists", [&] {
            json j = jsonx::parse(text);
            if (!j.is_array()) throw DecodeError("expected array");
            std::vector<RekordboxPlaylist> out;
            for (const auto& e : j) out.push_back(RekordboxPlaylist::fromJson(e));
            return out;
        });
    });
}

RekordboxService::Task<std::vector<RekordboxTrack>> RekordboxService::listTracks(std::string dbPath,
                                                                                 std::string appSupportPath,
                                                                                 std::string playlistId,
                                                                                 std::optional<int64_t> maxCount) {
    return safePythonCall<std::vector<RekordboxTrack>>([=, this] {
        std::vector<PythonArg> args{dbPath, appSupportPath, playlistId};
        if (maxCount) args.emplace_back(*maxCount);
        std::string text = callForText("list_tracks", args, "[]");
        return decoded("list_tracks", [&] {
            std::vector<RekordboxTrack> out = rekordboxTracksFromJson(jsonx::parse(text));
            for (auto& t : out) t.djSource = "rekordbox";
            return out;
        });
    });
}

RekordboxService::Task<std::optional<RekordboxNowPlaying>> RekordboxService::getNowPlaying(std::string dbPath,
                                                                                        std::string appSupportPath) {
    return safePythonCall<std::optional<RekordboxNowPlaying>>(
        [=, this]() -> std::optional<RekordboxNowPlaying> {
            std::string text = callForText("get_now_playing", {dbPath, appSupportPath}, "null");
            return decoded("get_now_playing", [&]() -> std::optional<RekordboxNowPlaying> {
                json j = jsonx::parse(text);
                if (j.is_null()) return std::nullopt;
                return RekordboxNowPlaying::fromJson(j);
            });
        });
}

RekordboxService::Task<std::string> RekordboxService::createPlaylist(std::string dbPath, std::string appSupportPath,
                                                                    std::string name, std::string parentFolder) {
    return safePythonCall<std::string>([=, this] {
        return decodeWriteResult(callForDict("create_playlist", {dbPath, appSupportPath, name, parentFolder}),
                                 "playlist_id");
    });
}

RekordboxService::Task<void> RekordboxService::addTrackToPlaylist(std::string dbPath, std::string appSupportPath,
                                                                 std::string playlistId, std::string contentId,
                                                                 int64_t position) {
    return safePythonCall<void>([=, this] {
        decodeWriteResult(
            callForDict("add_track_to_playlist", {dbPath, appSupportPath, playlistId, contentId, position}), "");
    });
}

RekordboxService::Task<void> RekordboxService::removeTrackFromPlaylist(std::string dbPath, std::string appSupportPath,
                                                                      std::string playlistId, std::string contentId) {
    return safePythonCall<void>([=, this] {
        decodeWriteResult(callForDict("remove_track_from_playlist", {dbPath, appSupportPath, playlistId, contentId}),
                          "");
    });
}

RekordboxService::Task<void> RekordboxService::reorderPlaylist(std::string dbPath, std::string appSupportPath,
                                                              std::string playlistId,
                                                              std::vector<std::string> contentIds) {
    return safePythonCall<void>([=, this] {
        decodeWriteResult(callForDict("reorder_playlist", {dbPath, appSupportPath, playlistId, contentIds}), "");
    });
}

RekordboxService::Task<bool> RekordboxService::playlistExists(std::string dbPath, std::string appSupportPath,
                                                             std::string playlistId) {
    return safePythonCall<bool>([=, this] {
        json d = callForDict("playlist_exists", {dbPath, appSupportPath, playlistId});
        const json* e = d.is_object() ? jsonx::find(d, "exists") : nullptr;
        return e && e->is_boolean() && e->get<bool>();
    });
}

RekordboxService::Task<std::string> RekordboxService::getOrCreateContentId(
    std::string dbPath, std::string appSupportPath, std::string filePath, std::string title, std::string artist,
    std::string album, std::string genre, int64_t durationSeconds) {
    return safePythonCall<std::string>([=, this] {
        return decodeWriteResult(callForDict("get_or_create_content_id",
                                             {dbPath, appSupportPath, filePath, title, artist, album, genre,
                                              std::to_string(durationSeconds)}),
                                 "content_id");
    });
}

RekordboxService::Task<std::string> RekordboxService::exportPlaylist(std::string dbPath, std::string appSupportPath,
                                                                    std::string name, std::string entriesJson) {
    return safePythonCall<std::string>([=, this] {
        json d = callForDict("export_playlist", {dbPath, appSupportPath, name, entriesJson});
        decodeWriteResult(d, "playlist_id");
        return d.dump();
    });
}

RekordboxService::Task<std::string> RekordboxService::resolveCdjContentIds(std::string dbPath,
                                                                          std::string appSupportPath,
                                                                          std::string wantedJson) {
    return safePythonCall<std::string>(
        [=, this] { return callForText("resolve_cdj_content_ids", {dbPath, appSupportPath, wantedJson}, "{}"); });
}

RekordboxService::Task<std::string> RekordboxService::exportCdjTracks(std::string dbPath, std::string appSupportPath,
                                                                     std::string idsJson, std::string artworkFolder) {
    return safePythonCall<std::string>([=, this] {
        return callForText("export_cdj_tracks", {dbPath, appSupportPath, idsJson, artworkFolder}, "{}");
    });
}

namespace {
bool pathExists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}
bool readable(const fs::path& p) { return ::access(p.c_str(), R_OK) == 0; }

// Home folders that may hold a rekordbox library: the macOS layout (a mounted or copied home)
// and a Wine prefix's Roaming folder.
std::vector<std::pair<fs::path, fs::path>> libraryRoots(const fs::path& home) {
    std::vector<std::pair<fs::path, fs::path>> roots;  // (Pioneer data folder, application support)
    roots.emplace_back(home / "Library" / "Pioneer", home / "Library" / "Application Support" / "Pioneer");
    const char* user = std::getenv("USER");
    fs::path roaming = home / ".wine" / "drive_c" / "users" / (user ? user : home.filename().string()) / "AppData" /
                       "Roaming" / "Pioneer";
    roots.emplace_back(roaming, roaming);
    roots.emplace_back(xdgDataHome() / "Pioneer", xdgDataHome() / "Pioneer");
    return roots;
}
}  // namespace

std::optional<std::string> RekordboxService::detectMasterDb() { return detectMasterDb(realHomeDirectory()); }
std::optional<std::string> RekordboxService::detectAppSupport() { return detectAppSupport(realHomeDirectory()); }

std::optional<std::string> RekordboxService::detectMasterDb(const fs::path& home) {
    for (const auto& [data, support] : libraryRoots(home)) {
        (void)support;
        for (const char* folder : {"rekordbox6", "rekordbox"}) {
            fs::path p = data / folder / "master.db";
            if (pathExists(p)) return p.string();
        }
    }
    return std::nullopt;
}

std::optional<std::string> RekordboxService::detectAppSupport(const fs::path& home) {
    for (const auto& [data, support] : libraryRoots(home)) {
        (void)data;
        if (pathExists(support) && readable(support)) return support.string();
    }
    return std::nullopt;
}

bool RekordboxService::isRekordboxRunning() { return fv::isRekordboxRunning(); }

}  // namespace fv
