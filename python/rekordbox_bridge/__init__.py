"""Floorvote's bridge to rekordbox 6/7: reads and writes master.db.

Every public function takes the database path (master.db or its folder) and the
application-support path first. Reading functions return JSON text; writing functions return a
dictionary with "ok" and "error". The database is opened through the program's own SQLite
(SQLCipher 4); an encrypted one needs the key (set_database_key, or FLOORVOTE_REKORDBOX_KEY).
"""

import datetime
import json
import os
import re
import shutil
import unicodedata

from . import _db
from . import _xml
from ._db import BridgeError

ROOT = "root"
FOLDER = 1
SMART = 4

# rekordbox's FileType codes by file extension.
FILE_TYPES = {"mp3": 1, "m4a": 4, "aac": 4, "flac": 5, "wav": 11, "aif": 12, "aiff": 12}


def set_database_key(key):
    """The SQLCipher key of an encrypted master.db (None: only the environment variable)."""
    _db.set_key(key)


def _dumps(value):
    return json.dumps(value, ensure_ascii=False)


def _text(value):
    return "" if value is None else str(value)


def _int(value, default=0):
    try:
        return int(value)
    except (TypeError, ValueError):
        return default


class _Open:
    def __init__(self, db_path, readonly=True):
        self.db_path = db_path
        self.readonly = readonly

    def __enter__(self):
        self.conn, self.kind = _db.connect(self.db_path, readonly=self.readonly)
        return self.conn

    def __exit__(self, *exc):
        self.conn.close()
        return False


def _failure(e):
    if isinstance(e, BridgeError):
        return str(e)
    text = _db.sql_error_text(e)
    if "locked" in text or "busy" in text:
        return "Die rekordbox-Datenbank ist gesperrt (" + text + ")."
    return text or type(e).__name__


# -- reading ---------------------------------------------------------------------------------------


def validate_access(db_path, app_support_path):
    kind = None
    try:
        opened = _Open(db_path)
        with opened as conn:
            kind = opened.kind
            count = conn.execute("SELECT count(*) FROM djmdContent WHERE rb_local_deleted = 0")[0][0]
        return _dumps({"ok": True, "error": None, "type": kind, "trackCount": int(count)})
    except Exception as e:  # reported to the caller as data
        return _dumps({"ok": False, "error": _failure(e), "type": kind, "trackCount": None})


def _playlist_rows(conn):
    rows = conn.execute(
        "SELECT p.ID, p.Name, p.Seq, p.ParentID, p.Attribute, "
        "(SELECT count(*) FROM djmdSongPlaylist s WHERE s.PlaylistID = p.ID AND s.rb_local_deleted = 0) "
        "FROM djmdPlaylist p WHERE p.rb_local_deleted = 0"
    )
    return [
        {
            "id": _text(r[0]),
            "name": _text(r[1]),
            "sequence": r[2],
            "parentId": _text(r[3]) or ROOT,
            "isFolder": _int(r[4]) == FOLDER,
            "trackCount": int(r[5]),
        }
        for r in rows
    ]


def list_playlists(db_path, app_support_path):
    """Folders and playlists in rekordbox's tree order (Seq within each parent)."""
    with _Open(db_path) as conn:
        rows = _playlist_rows(conn)
    children = {}
    for r in rows:
        children.setdefault(r["parentId"], []).append(r)
    out = []

    def walk(parent, prefix, depth):
        if depth > 64:  # a cycle in ParentID: stop rather than recurse forever
            return
        for r in sorted(children.get(parent, []), key=lambda x: (_int(x["sequence"], 1 << 30), x["name"])):
            r["path"] = prefix + r["name"]
            out.append(r)
            walk(r["id"], r["path"] + "/", depth + 1)

    walk(ROOT, "", 0)
    return _dumps(out)


_TRACK_SELECT = (
    "SELECT c.ID, c.Title, a.Name, g.Name, c.Length, c.BPM, k.ScaleName, c.FolderPath, c.ISRC "
    "FROM djmdContent c "
    "LEFT JOIN djmdArtist a ON a.ID = c.ArtistID "
    "LEFT JOIN djmdGenre g ON g.ID = c.GenreID "
    "LEFT JOIN djmdKey k ON k.ID = c.KeyID "
)

_SCHEME = re.compile(r"^([a-z][a-z0-9+.-]{2,}):(?!//?$)(.*)$")


def _streaming(folder_path):
    """Streaming tracks carry "service:id" where files carry a path."""
    m = _SCHEME.match(folder_path or "")
    if not m or m.group(1) == "file":
        return None, None
    return m.group(1), m.group(2).lstrip("/")


def _track_json(r):
    service, service_id = _streaming(r[7])
    bpm = _int(r[5], None)
    return {
        "title": _text(r[1]),
        "artist": _text(r[2]),
        "genre": _text(r[3]),
        "duration": _int(r[4]),
        "bpm": (bpm / 100.0) if bpm else None,
        "key": _text(r[6]),
        "contentId": _text(r[0]),
        "folderPath": _text(r[7]),
        "streamingService": service,
        "streamingServiceId": service_id,
        "isrc": r[8] or None,
    }


def list_tracks(db_path, app_support_path, playlist_id, max_count=None):
    """The tracks of one playlist in TrackNo order; an empty id (or "all") lists the collection."""
    limit = ""
    if max_count is not None and int(max_count) > 0:
        limit = " LIMIT %d" % int(max_count)
    with _Open(db_path) as conn:
        if _text(playlist_id) in ("", "all", "*"):
            rows = conn.execute(_TRACK_SELECT + "WHERE c.rb_local_deleted = 0 ORDER BY c.ID" + limit)
        else:
            rows = conn.execute(
                _TRACK_SELECT + "JOIN djmdSongPlaylist s ON s.ContentID = c.ID "
                "WHERE s.PlaylistID = ? AND s.rb_local_deleted = 0 AND c.rb_local_deleted = 0 "
                "ORDER BY s.TrackNo" + limit,
                (_text(playlist_id),),
            )
    return _dumps([_track_json(r) for r in rows])


def get_now_playing(db_path, app_support_path):
    """The newest entry of today's history (rekordbox adds one once a track has played a while)."""
    today = datetime.date.today().strftime("%Y-%m-%d")
    with _Open(db_path) as conn:
        rows = conn.execute(
            "SELECT c.Title, a.Name FROM djmdSongHistory s "
            "JOIN djmdHistory h ON h.ID = s.HistoryID "
            "JOIN djmdContent c ON c.ID = s.ContentID "
            "LEFT JOIN djmdArtist a ON a.ID = c.ArtistID "
            "WHERE h.DateCreated = ? AND h.rb_local_deleted = 0 AND s.rb_local_deleted = 0 "
            "ORDER BY s.created_at DESC, s.TrackNo DESC LIMIT 1",
            (today,),
        )
    if not rows:
        return "null"
    return _dumps({"title": _text(rows[0][0]), "artist": _text(rows[0][1])})


# -- the CDJ library ---------------------------------------------------------------------------------


def _fold(text):
    """Title and artist compared without case, accents, punctuation or extra spaces."""
    text = unicodedata.normalize("NFKD", _text(text)).casefold()
    text = "".join(ch for ch in text if not unicodedata.combining(ch))
    return " ".join(re.sub(r"[^\w]+", " ", text).split())


_EXTRA = re.compile(r"\s*[\(\[][^\)\]]*[\)\]]")
_FEAT = re.compile(r"\s+(feat\.?|ft\.?|featuring|&|,|x|vs\.?)\s+.*$", re.IGNORECASE)


def _loose(title, artist):
    return _fold(_EXTRA.sub("", _text(title))), _fold(_FEAT.sub("", _text(artist)))


def resolve_cdj_content_ids(db_path, app_support_path, wanted_json):
    """Content ids for request tracks: by file path, then by normalised title and artist."""
    try:
        wanted = json.loads(wanted_json)
        if not isinstance(wanted, list):
            raise ValueError("keine Liste")
    except ValueError as e:
        return _dumps({"ok": False, "map": {}, "unresolved": [], "error": "Ungültige Anfrage: " + str(e)})
    try:
        with _Open(db_path) as conn:
            rows = conn.execute(
                "SELECT c.ID, c.FolderPath, c.Title, a.Name FROM djmdContent c "
                "LEFT JOIN djmdArtist a ON a.ID = c.ArtistID WHERE c.rb_local_deleted = 0"
            )
    except Exception as e:
        return _dumps({"ok": False, "map": {}, "unresolved": [], "error": _failure(e)})
    by_path, by_name, by_loose = {}, {}, {}
    for cid, path, title, artist in rows:
        number = _int(cid, None)
        if number is None:
            continue
        if path:
            by_path.setdefault(path, number)
        by_name.setdefault((_fold(title), _fold(artist)), number)
        by_loose.setdefault(_loose(title, artist), number)
    found, unresolved = {}, []
    for item in wanted:
        if not isinstance(item, dict) or "id" not in item:
            continue
        key = str(item["id"])
        path = _text(item.get("path"))
        title, artist = item.get("title"), item.get("artist")
        hit = by_path.get(path) if path else None
        if hit is None and _fold(title):
            hit = by_name.get((_fold(title), _fold(artist)))
            if hit is None:
                hit = by_loose.get(_loose(title, artist))
        if hit is None:
            unresolved.append(item["id"])
        else:
            found[key] = hit
    return _dumps({"ok": True, "map": found, "unresolved": unresolved, "error": None})


_EXPORT_SELECT = (
    "SELECT c.ID, c.Title, a.Name, al.Name, g.Name, k.ScaleName, c.KeyID, c.BPM, c.Length, c.FolderPath, "
    "c.FileSize, c.AnalysisDataPath, c.ImagePath, c.Commnt, c.Rating, c.ColorID, c.ReleaseYear "
    "FROM djmdContent c "
    "LEFT JOIN djmdArtist a ON a.ID = c.ArtistID "
    "LEFT JOIN djmdAlbum al ON al.ID = c.AlbumID "
    "LEFT JOIN djmdGenre g ON g.ID = c.GenreID "
    "LEFT JOIN djmdKey k ON k.ID = c.KeyID "
    "WHERE c.rb_local_deleted = 0 AND c.ID IN (%s)"
)


def _share_roots(db_path, app_support_path):
    """Folders under which rekordbox's relative analysis and artwork paths may lie."""
    db_dir = os.path.dirname(_db.database_file(db_path))
    roots = []
    for base in (app_support_path, db_dir):
        if base:
            roots += [os.path.join(base, "rekordbox", "share"), os.path.join(base, "share"), base]
    return roots


def _locate(roots, relative):
    if not relative:
        return None
    if os.path.isabs(relative) and os.path.isfile(relative) and not relative.startswith("/PIONEER"):
        return relative
    rel = relative.replace("\\", "/").lstrip("/")
    for root in roots:
        candidate = os.path.join(root, rel)
        if os.path.isfile(candidate):
            return candidate
    return None


def _analysis_files(roots, relative):
    files = {"DAT": None, "EXT": None, "2EX": None}
    base = _locate(roots, relative)
    if base is None:
        return files
    stem, _ = os.path.splitext(base)
    files["DAT"] = base if base.upper().endswith(".DAT") else None
    for kind in ("DAT", "EXT", "2EX"):
        candidate = stem + "." + kind
        if os.path.isfile(candidate):
            files[kind] = candidate
    return files


def _copy_artwork(roots, relative, folder, content_id):
    source = _locate(roots, relative)
    if source is None or not folder:
        return None
    ext = os.path.splitext(source)[1].lower() or ".jpg"
    target = os.path.join(folder, "%d%s" % (content_id, ext))
    try:
        os.makedirs(folder, exist_ok=True)
        if not os.path.isfile(target) or os.path.getsize(target) != os.path.getsize(source):
            tmp = target + ".tmp"
            shutil.copyfile(source, tmp)
            os.replace(tmp, target)
    except OSError:
        return None
    return target


def _file_size(path, stored):
    try:
        return os.path.getsize(path)
    except (OSError, TypeError, ValueError):
        return _int(stored)


def export_cdj_tracks(db_path, app_support_path, ids_json, artwork_folder):
    """CDJ track records with cues, analysis file paths and artwork copied into artwork_folder."""
    try:
        ids = json.loads(ids_json)
        if not isinstance(ids, list):
            raise ValueError("keine Liste")
        wanted = []
        for x in ids:
            if isinstance(x, bool) or not isinstance(x, (int, str)) or _int(x, None) is None:
                raise ValueError("ungültige ID %r" % (x,))
            wanted.append(str(_int(x)))
    except ValueError as e:
        return _dumps({"ok": False, "tracks": [], "missing": [], "error": "Ungültige Anfrage: " + str(e)})
    try:
        roots = _share_roots(db_path, app_support_path)
        records, cues = {}, {}
        with _Open(db_path) as conn:
            for start in range(0, len(wanted), 500):
                chunk = wanted[start : start + 500]
                marks = ", ".join("?" * len(chunk))
                for r in conn.execute(_EXPORT_SELECT % marks, chunk):
                    records[_text(r[0])] = r
                for c in conn.execute(
                    "SELECT ContentID, Kind, InMsec, OutMsec, ColorTableIndex, Color, Comment FROM djmdCue "
                    "WHERE rb_local_deleted = 0 AND ContentID IN (%s) ORDER BY ContentID, InMsec, ID" % marks,
                    chunk,
                ):
                    cues.setdefault(_text(c[0]), []).append(c)
    except Exception as e:
        return _dumps({"ok": False, "tracks": [], "missing": [], "error": _failure(e)})
    tracks, missing = [], []
    for cid in wanted:
        r = records.get(cid)
        if r is None:
            missing.append(int(cid))
            continue
        number = int(cid) & 0xFFFFFFFF
        path = _text(r[9])
        ext = os.path.splitext(path)[1].lstrip(".").lower()
        color_index = lambda c: _int(c[4], None) if _int(c[4], 0) > 0 else max(_int(c[5], 0), 0)
        tracks.append(
            {
                "id": number,
                "title": _text(r[1]),
                "artist": _text(r[2]),
                "album": _text(r[3]),
                "genre": _text(r[4]),
                "key": _text(r[5]),
                "keyId": _int(r[6]) & 0xFFFFFFFF,
                "bpm100": _int(r[7]),
                "duration": _int(r[8]),
                "filePath": path,
                "fileSize": _file_size(path, r[10]),
                "fileType": ext,
                "anlz": _analysis_files(roots, _text(r[11])),
                "artwork": _copy_artwork(roots, _text(r[12]), artwork_folder, number),
                "comment": _text(r[13]),
                "rating": _int(r[14]),
                "color": _int(r[15]),
                "year": _int(r[16]),
                "cues": [
                    {
                        "kind": _int(c[1]),
                        "inMs": _int(c[2]),
                        "outMs": _int(c[3], -1),
                        "colorIndex": color_index(c),
                        "comment": _text(c[6]),
                    }
                    for c in cues.get(cid, [])
                ],
            }
        )
    return _dumps({"ok": True, "tracks": tracks, "missing": missing, "error": None})


# -- writing -----------------------------------------------------------------------------------------


def _write(db_path, body):
    """Runs body(conn, writer) as one transaction, with the XML beside the database in step."""
    if _db.is_rekordbox_running():
        return {"ok": False, "error": "Rekordbox ist geöffnet. Bitte schließe Rekordbox vor Schreiboperationen."}
    tmp = None
    try:
        conn, _ = _db.connect(db_path)
    except Exception as e:
        return {"ok": False, "error": _failure(e)}
    try:
        writer = _db.Writer(conn)
        writer.begin()
        result = body(conn, writer)
        writer.finish()
        xml_path = os.path.join(os.path.dirname(_db.database_file(db_path)), _xml.FILE_NAME)
        added = [
            (pid, parent, attribute, _db.timestamp_ms(writer.now)) for pid, parent, attribute in writer.new_playlists
        ]
        new_ids = {a[0] for a in added}
        touched = {
            pid: (parent, attribute, _db.timestamp_ms(at))
            for pid, (parent, attribute, at) in writer.changed_playlists.items()
            if pid not in new_ids
        }
        tmp = _xml.prepare(xml_path, added, touched)
        conn.execute("COMMIT")
        _xml.commit(tmp, xml_path)
        tmp = None
        result.setdefault("ok", True)
        result.setdefault("error", None)
        return result
    except Exception as e:
        if conn.in_transaction():
            try:
                conn.execute("ROLLBACK")
            except Exception:
                pass
        _xml.discard(tmp)
        return {"ok": False, "error": _failure(e)}
    finally:
        conn.close()


def _playlist(conn, playlist_id):
    rows = conn.execute(
        "SELECT ID, Attribute FROM djmdPlaylist WHERE ID = ? AND rb_local_deleted = 0", (_text(playlist_id),)
    )
    if not rows:
        raise BridgeError("Playlist nicht gefunden (ID: %s)" % playlist_id)
    if _int(rows[0][1]) != 0:
        raise BridgeError("Keine normale Playlist (ID: %s)" % playlist_id)
    return rows[0][0]


def _content(conn, content_id):
    rows = conn.execute(
        "SELECT ID, UUID FROM djmdContent WHERE ID = ? AND rb_local_deleted = 0", (_text(content_id),)
    )
    if not rows:
        raise BridgeError("Track nicht gefunden (ID: %s)" % content_id)
    return rows[0]


def _songs(conn, playlist_id):
    """(row id, content id, TrackNo) of a playlist in order."""
    return conn.execute(
        "SELECT ID, ContentID, TrackNo FROM djmdSongPlaylist WHERE PlaylistID = ? AND rb_local_deleted = 0 "
        "ORDER BY TrackNo, ID",
        (playlist_id,),
    )


def _renumber(conn, writer, rows):
    """TrackNo 1..n in the given order; only rows whose number changes are written."""
    for number, (row_id, _, old) in enumerate(rows, start=1):
        if _int(old) != number:
            writer.update("djmdSongPlaylist", row_id, {"TrackNo": number})


def _new_playlist(conn, writer, name, parent, attribute):
    seq = conn.execute(
        "SELECT coalesce(max(Seq), 0) FROM djmdPlaylist WHERE ParentID = ? AND rb_local_deleted = 0", (parent,)
    )[0][0]
    pid = writer.insert(
        "djmdPlaylist",
        {"Seq": _int(seq) + 1, "Name": name, "ImagePath": None, "Attribute": attribute, "ParentID": parent,
         "SmartList": None},
    )
    writer.new_playlists.append((pid, parent, attribute))
    return pid


def _parent_folder(conn, writer, parent_name):
    """The top-level folder named parent_name (made when missing); the root without a name."""
    if not _text(parent_name):
        return ROOT
    rows = conn.execute(
        "SELECT ID FROM djmdPlaylist WHERE Name = ? AND ParentID = ? AND Attribute = ? "
        "AND rb_local_deleted = 0 ORDER BY Seq LIMIT 1",
        (parent_name, ROOT, FOLDER),
    )
    return rows[0][0] if rows else _new_playlist(conn, writer, parent_name, ROOT, FOLDER)


def create_playlist(db_path, app_support_path, name, parent_name="Floorvote"):
    """A playlist under the folder parent_name at the top level (the folder is made when missing)."""
    if not _text(name).strip():
        return {"ok": False, "error": "Playlist-Name fehlt"}

    def body(conn, writer):
        return {"playlist_id": _new_playlist(conn, writer, name, _parent_folder(conn, writer, parent_name), 0)}

    return _write(db_path, body)


def add_track_to_playlist(db_path, app_support_path, playlist_id, content_id, position=0):
    """Puts the track at 0-based position (past the end: appended); a track already in the
    playlist moves there instead of appearing twice."""

    def body(conn, writer):
        pid = _playlist(conn, playlist_id)
        cid, _ = _content(conn, content_id)
        rows = _songs(conn, pid)
        mine = [r for r in rows if _text(r[1]) == _text(cid)]
        others = [r for r in rows if _text(r[1]) != _text(cid)]
        at = min(max(_int(position), 0), len(others))
        if mine:
            for extra in mine[1:]:
                conn.execute("DELETE FROM djmdSongPlaylist WHERE ID = ?", (extra[0],))
            entry = mine[0]
        else:
            entry = (writer.insert("djmdSongPlaylist", {"PlaylistID": pid, "ContentID": cid, "TrackNo": at + 1}),
                     cid, at + 1)
        ordered = others[:at] + [entry] + others[at:]
        if not mine or [r[0] for r in ordered] != [r[0] for r in rows] or len(mine) > 1:
            _renumber(conn, writer, ordered)
            writer.touch_playlist(pid)
        return {"added": not mine}

    return _write(db_path, body)


def remove_track_from_playlist(db_path, app_support_path, playlist_id, content_id):
    def body(conn, writer):
        pid = _playlist(conn, playlist_id)
        rows = _songs(conn, pid)
        gone = [r for r in rows if _text(r[1]) == _text(content_id)]
        if not gone:
            raise BridgeError("Track nicht in der Playlist (ID: %s)" % content_id)
        for r in gone:
            conn.execute("DELETE FROM djmdSongPlaylist WHERE ID = ?", (r[0],))
        _renumber(conn, writer, [r for r in rows if _text(r[1]) != _text(content_id)])
        writer.touch_playlist(pid)
        return {}

    return _write(db_path, body)


def reorder_playlist(db_path, app_support_path, playlist_id, content_ids):
    """The listed tracks first, in the given order; tracks not listed keep their order after them."""
    order = [_text(c) for c in (content_ids or [])]

    def body(conn, writer):
        pid = _playlist(conn, playlist_id)
        rows = _songs(conn, pid)
        rank = {}
        for i, c in enumerate(order):
            rank.setdefault(c, i)
        listed = sorted((r for r in rows if _text(r[1]) in rank), key=lambda r: rank[_text(r[1])])
        rest = [r for r in rows if _text(r[1]) not in rank]
        new = listed + rest
        if [r[0] for r in new] != [r[0] for r in rows] or any(_int(r[2]) != i + 1 for i, r in enumerate(rows)):
            _renumber(conn, writer, new)
            writer.touch_playlist(pid)
        return {}

    return _write(db_path, body)


def playlist_exists(db_path, app_support_path, playlist_id):
    try:
        with _Open(db_path) as conn:
            rows = conn.execute(
                "SELECT 1 FROM djmdPlaylist WHERE ID = ? AND rb_local_deleted = 0", (_text(playlist_id),)
            )
        return {"exists": bool(rows)}
    except Exception as e:
        return {"exists": False, "error": _failure(e)}


def _named(conn, writer, table, name):
    name = _text(name).strip()
    if not name:
        return None
    rows = conn.execute("SELECT ID FROM %s WHERE Name = ? AND rb_local_deleted = 0 LIMIT 1" % table, (name,))
    if rows:
        return rows[0][0]
    return writer.insert(table, {"Name": name})


def get_or_create_content_id(db_path, app_support_path, path, title, artist, album, genre, duration):
    """The content id of the file at path; a new collection entry when rekordbox does not have it."""
    if not _text(path):
        return {"ok": False, "error": "Dateipfad fehlt"}

    def body(conn, writer):
        cid, created = _content_for_file(conn, writer, path, title, artist, album, genre, duration)
        return {"content_id": cid, "created": created}

    return _write(db_path, body)


def export_playlist(db_path, app_support_path, name, entries_json, parent_name="Floorvote"):
    """A new playlist holding the entries in order, all in one transaction: each entry is
    {"content_id": id} or {"path", "title", "artist", "album", "genre", "duration"} (the file's
    content is made when rekordbox does not have it). Unknown content ids are skipped."""
    try:
        entries = json.loads(entries_json)
        if not isinstance(entries, list):
            raise ValueError("entries")
    except Exception:
        return {"ok": False, "error": "Ungültige Exportliste"}

    def body(conn, writer):
        parent = _parent_folder(conn, writer, parent_name)
        pid = _new_playlist(conn, writer, name, parent, 0)
        exported, skipped = 0, []
        for index, e in enumerate(entries):
            cid = None
            if isinstance(e, dict) and _text(e.get("content_id")):
                rows = conn.execute(
                    "SELECT ID FROM djmdContent WHERE ID = ? AND rb_local_deleted = 0", (_text(e["content_id"]),)
                )
                cid = rows[0][0] if rows else None
            elif isinstance(e, dict) and _text(e.get("path")):
                cid, _ = _content_for_file(conn, writer, _text(e["path"]), e.get("title"), e.get("artist"),
                                           e.get("album"), e.get("genre"), e.get("duration"))
            if cid is None:
                skipped.append(index)
                continue
            exported += 1
            writer.insert("djmdSongPlaylist", {"PlaylistID": pid, "ContentID": cid, "TrackNo": exported})
        writer.touch_playlist(pid)
        return {"playlist_id": pid, "exported": exported, "skipped": skipped}

    return _write(db_path, body)


def _content_for_file(conn, writer, path, title, artist, album, genre, duration):
    """(content id, created) of the file at path, inside the caller's transaction."""
    rows = conn.execute(
        "SELECT ID FROM djmdContent WHERE FolderPath = ? AND rb_local_deleted = 0 LIMIT 1", (path,)
    )
    if rows:
        return rows[0][0], False
    ext = os.path.splitext(path)[1].lstrip(".").lower()
    device = conn.execute("SELECT ID, MasterDBID FROM djmdDevice LIMIT 1") if _has(conn, "djmdDevice") else []
    master_db = device[0][1] if device else None
    content = {
        "FolderPath": path,
        "FileNameL": os.path.basename(path),
        "FileNameS": "",
        "Title": _text(title) or os.path.splitext(os.path.basename(path))[0],
        "ArtistID": _named(conn, writer, "djmdArtist", artist),
        "AlbumID": _named(conn, writer, "djmdAlbum", album),
        "GenreID": _named(conn, writer, "djmdGenre", genre),
        "BPM": 0,
        "Length": max(_int(duration), 0),
        "FileType": FILE_TYPES.get(ext, 0),
        "FileSize": _file_size(path, 0),
        "Rating": 0,
        "DJPlayCount": 0,
        "Analysed": 0,
        "DateCreated": datetime.date.today().strftime("%Y-%m-%d"),
        "StockDate": datetime.date.today().strftime("%Y-%m-%d"),
        "MasterDBID": master_db,
        "DeviceID": device[0][0] if device else None,
        "OrgFolderPath": path,
    }
    cid = writer.new_id("djmdContent")
    content["ID"] = cid
    content["MasterSongID"] = cid
    writer.insert("djmdContent", content)
    return cid, True


def _has(conn, table):
    return bool(conn.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", (table,)))
