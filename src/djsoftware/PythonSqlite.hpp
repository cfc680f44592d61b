#pragma once
// The built-in Python module "_fvsqlite": the process's own SQLite (SQLCipher) for the embedded
// interpreter. Python's sqlite3 module would load the system's libsqlite3 beside ours; this one
// calls the sqlite3_* functions linked into the program, so only one SQLite lives in the process.
//
//   connect(path, key=None, readonly=False, timeout_ms=5000) -> Connection
//   Connection.execute(sql, params=()) -> list of tuples
//   Connection.executemany(sql, rows) -> None
//   Connection.changes() -> int;  Connection.close()
//   Error (code, message)
struct _object;

namespace fv::py {

// Registers the module with the interpreter; call before it starts.
void registerSqliteModule();

}  // namespace fv::py
