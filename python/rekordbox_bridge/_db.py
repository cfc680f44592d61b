"""Opening rekordbox's master.db and writing to it the way rekordbox itself does."""

import datetime
import os
import secrets
import uuid

try:
    import _fvsqlite as _sqlite  # the program's own SQLite (SQLCipher), built in
except ImportError:  # pragma: no cover - only outside the program
    _sqlite = None

PLAIN_HEADER = b"SQLite format 3\x00"
KEY_ENV = "FLOORVOTE_REKORDBOX_KEY"

_key = None


class BridgeError(Exception):
    """A failure with a text meant for the DJ."""


def set_key(key):
    global _key
    _key = key or None


def current_key():
    return _key or os.environ.get(KEY_ENV) or None


def database_file(db_path):
    """The database path may name master.db itself or the folder that holds it."""
    if not db_path:
        raise BridgeError("Rekordbox master.db nicht gefunden.")
    path = db_path
    if os.path.isdir(path):
        path = os.path.join(path, "master.db")
    if not os.path.isfile(path):
        raise BridgeError("Rekordbox master.db nicht gefunden: " + path)
    return path


def is_encrypted(path):
    with open(path, "rb") as f:
        head = f.read(16)
    # An empty file is a new plain database to SQLite, but not rekordbox's.
    return len(head) == 16 and head != PLAIN_HEADER


def connect(db_path, readonly=False):
    """Returns (connection, kind) with kind "sqlcipher" or "sqlite"; raises BridgeError."""
    if _sqlite is None:
        raise BridgeError("SQLite-Modul des Programms fehlt (_fvsqlite).")
    path = database_file(db_path)
    encrypted = is_encrypted(path)
    key = current_key() if encrypted else None
    if encrypted and not key:
        raise BridgeError(
            "Die rekordbox-Datenbank ist verschlüsselt; bitte den Schlüssel mit "
            "„floorvote dj rekordbox-key“ hinterlegen."
        )
    try:
        conn = _sqlite.connect(path, key=key, readonly=readonly)
    except _sqlite.Error as e:
        code, message = e.args if len(e.args) == 2 else (0, str(e))
        if code == 26 and encrypted:  # SQLITE_NOTADB
            raise BridgeError("Der Schlüssel passt nicht zur rekordbox-Datenbank.") from None
        if code == 26:
            raise BridgeError("Die Datei ist keine SQLite-Datenbank: " + path) from None
        raise BridgeError("Datenbank nicht lesbar: " + message) from None
    try:
        names = {r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        for needed in ("djmdContent", "djmdPlaylist", "djmdSongPlaylist"):
            if needed not in names:
                raise BridgeError("Keine rekordbox-Datenbank (Tabelle " + needed + " fehlt).")
    except BaseException:
        conn.close()
        raise
    return conn, ("sqlcipher" if encrypted else "sqlite")


def sql_error_text(e):
    if _sqlite is not None and isinstance(e, _sqlite.Error) and len(e.args) == 2:
        return str(e.args[1])
    return str(e)


# -- bookkeeping ---------------------------------------------------------------------------------

def timestamp(now=None):
    """rekordbox's created_at/updated_at text: UTC with milliseconds and the offset."""
    now = now or datetime.datetime.now(datetime.timezone.utc)
    return now.strftime("%Y-%m-%d %H:%M:%S.") + "%03d +00:00" % (now.microsecond // 1000)


def timestamp_ms(text):
    """Milliseconds since the epoch of a created_at/updated_at text (0 when unreadable)."""
    try:
        base = datetime.datetime.strptime(text[:23], "%Y-%m-%d %H:%M:%S.%f")
    except (TypeError, ValueError):
        return 0
    return int(base.replace(tzinfo=datetime.timezone.utc).timestamp() * 1000)


def is_rekordbox_running():
    """A process whose name starts with "rekordbox" (also under Wine: rekordbox.exe)."""
    own = os.getpid()
    try:
        entries = os.listdir("/proc")
    except OSError:
        return False
    for pid in entries:
        if not pid.isdigit() or int(pid) == own:
            continue
        names = []
        try:
            with open("/proc/%s/comm" % pid, "rb") as f:
                names.append(f.read().decode("utf-8", "replace").strip())
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                first = f.read().split(b"\x00", 1)[0].decode("utf-8", "replace")
                names.append(first.replace("\\", "/").rsplit("/", 1)[-1])
        except OSError:
            continue
        if any(n.lower().startswith("rekordbox") for n in names):
            return True
    return False


class Writer:
    """One write: a transaction, new IDs and UUIDs, and the local update counter."""

    def __init__(self, conn):
        self.conn = conn
        self.now = timestamp()
        self.usn = None
        self.changed_playlists = {}  # id -> (parent id, attribute, updated_at) for the XML
        self.new_playlists = []

    def begin(self):
        self.conn.execute("BEGIN IMMEDIATE")
        rows = self.conn.execute(
            "SELECT int_1 FROM agentRegistry WHERE registry_id = 'localUpdateCount'"
        )
        if rows:
            self.usn = int(rows[0][0] or 0)
        else:
            self.usn = 0
            self.conn.execute(
                "INSERT INTO agentRegistry (registry_id, created_at, updated_at, int_1) "
                "VALUES ('localUpdateCount', ?, ?, 0)",
                (self.now, self.now),
            )

    def next_usn(self):
        self.usn += 1
        return self.usn

    def new_id(self, table):
        """A random 28-bit number of at least 100 that the table does not use yet, as text."""
        for _ in range(1000):
            candidate = int.from_bytes(secrets.token_bytes(4), "big") >> 4
            if candidate < 100:
                continue
            text = str(candidate)
            if not self.conn.execute("SELECT 1 FROM %s WHERE ID = ?" % table, (text,)):
                return text
        raise BridgeError("Keine freie ID in " + table)

    @staticmethod
    def new_uuid():
        return str(uuid.uuid4())

    def insert(self, table, values):
        """Inserts a row with rekordbox's standard columns filled in; returns its ID."""
        row = dict(values)
        row.setdefault("ID", self.new_id(table))
        row.setdefault("UUID", self.new_uuid())
        row.setdefault("rb_data_status", 0)
        row.setdefault("rb_local_data_status", 0)
        row.setdefault("rb_local_deleted", 0)
        row.setdefault("rb_local_synced", 0)
        row.setdefault("usn", None)
        row["rb_local_usn"] = self.next_usn()
        row["created_at"] = self.now
        row["updated_at"] = self.now
        cols = list(row)
        self.conn.execute(
            "INSERT INTO %s (%s) VALUES (%s)" % (table, ", ".join(cols), ", ".join("?" * len(cols))),
            [row[c] for c in cols],
        )
        return row["ID"]

    def update(self, table, row_id, values):
        """Changes columns of one row and stamps it with the next update number."""
        row = dict(values)
        row["rb_local_usn"] = self.next_usn()
        row["updated_at"] = self.now
        cols = list(row)
        self.conn.execute(
            "UPDATE %s SET %s WHERE ID = ?" % (table, ", ".join(c + " = ?" for c in cols)),
            [row[c] for c in cols] + [row_id],
        )

    def touch_playlist(self, playlist_id):
        """A playlist whose tracks changed carries the change in its own row and in the XML."""
        rows = self.conn.execute("SELECT ParentID, Attribute FROM djmdPlaylist WHERE ID = ?", (playlist_id,))
        if not rows:
            return
        self.update("djmdPlaylist", playlist_id, {})
        self.changed_playlists[playlist_id] = (rows[0][0], rows[0][1], self.now)

    def finish(self):
        self.conn.execute(
            "UPDATE agentRegistry SET int_1 = ?, updated_at = ? WHERE registry_id = 'localUpdateCount'",
            (self.usn, self.now),
        )
