"""masterPlaylists6.xml beside master.db: rekordbox's list of playlist nodes, kept in step.

Each playlist or folder is one line
    <NODE Id="HEX" ParentId="HEX or 0" Attribute="0|1|4" Timestamp="ms" Lib_Type="0" CheckType="0"/>
with the IDs of djmdPlaylist in upper-case hexadecimal, "0" for the root, and the row's
updated_at in milliseconds. Lines we do not change stay byte for byte.
"""

import os
import re
import tempfile

FILE_NAME = "masterPlaylists6.xml"

_NODE = re.compile(r'<NODE\b[^>]*\bId="([0-9A-Fa-f]+)"')
_TIMESTAMP = re.compile(r'(\bTimestamp=")(\d*)(")')


def hex_id(playlist_id):
    text = str(playlist_id)
    if text in ("", "root", "0"):
        return "0"
    return "%X" % int(text)


def _template(newline):
    return newline.join(
        [
            '<?xml version="1.0" encoding="UTF-8"?>',
            "",
            '<MASTER_PLAYLIST Version="3.0.0" AutomaticSync="0">',
            '  <PRODUCT Name="rekordbox" Version="6.0.0" Company="Pioneer DJ"/>',
            "  <PLAYLISTS>",
            "  </PLAYLISTS>",
            "</MASTER_PLAYLIST>",
            "",
        ]
    )


def node_line(playlist_id, parent_id, attribute, ms):
    return '    <NODE Id="%s" ParentId="%s" Attribute="%d" Timestamp="%d" Lib_Type="0" CheckType="0"/>' % (
        hex_id(playlist_id),
        hex_id(parent_id),
        int(attribute or 0),
        int(ms),
    )


def updated_text(path, added, touched):
    """The file's new text: added nodes appended, touched nodes with a new Timestamp.

    added: list of (id, parent id, attribute, ms); touched: dict id -> (parent id, attribute, ms).
    A node for a touched playlist that the file lacks is added as well.
    """
    try:
        with open(path, "rb") as f:
            text = f.read().decode("utf-8")
    except FileNotFoundError:
        text = _template("\r\n")
    newline = "\r\n" if "\r\n" in text else "\n"
    lines = text.split(newline)
    present = {}
    for i, line in enumerate(lines):
        m = _NODE.search(line)
        if m:
            present[m.group(1).upper()] = i
    pending = list(added)
    for pid, (parent, attribute, ms) in touched.items():
        key = hex_id(pid)
        if key in present:
            i = present[key]
            lines[i] = _TIMESTAMP.sub(lambda m: m.group(1) + str(int(ms)) + m.group(3), lines[i], count=1)
        elif not any(hex_id(a[0]) == key for a in pending):
            pending.append((pid, parent, attribute, ms))
    if pending:
        end = next((i for i, line in enumerate(lines) if "</PLAYLISTS>" in line), None)
        if end is None:
            raise ValueError(FILE_NAME + " hat kein </PLAYLISTS>")
        for offset, (pid, parent, attribute, ms) in enumerate(pending):
            lines.insert(end + offset, node_line(pid, parent, attribute, ms))
    return newline.join(lines)


def prepare(path, added, touched):
    """Writes the new text to a temporary file beside the XML; returns its path (None: no change)."""
    if not added and not touched:
        return None
    text = updated_text(path, added, touched)
    folder = os.path.dirname(path) or "."
    fd, tmp = tempfile.mkstemp(prefix=".masterPlaylists6.", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(text.encode("utf-8"))
            f.flush()
            os.fsync(f.fileno())
        if os.path.exists(path):
            os.chmod(tmp, os.stat(path).st_mode & 0o777)
    except BaseException:
        os.unlink(tmp)
        raise
    return tmp


def commit(tmp, path):
    if tmp:
        os.replace(tmp, path)


def discard(tmp):
    if tmp:
        try:
            os.unlink(tmp)
        except OSError:
            pass
