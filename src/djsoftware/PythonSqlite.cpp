#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "djsoftware/PythonSqlite.hpp"

#include <sqlite3.h>

#include <string>

namespace fv::py {
namespace {

PyObject* sqliteError = nullptr;

struct Connection {
    PyObject_HEAD sqlite3* db;
};

PyObject* raise(sqlite3* db, int rc, const char* what = nullptr) {
    std::string msg = what ? what : (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    PyObject* args = Py_BuildValue("(is)", rc, msg.c_str());
    if (args) {
        PyErr_SetObject(sqliteError, args);
        Py_DECREF(args);
    }
    return nullptr;
}

bool bindOne(sqlite3* db, sqlite3_stmt* st, int i, PyObject* v) {
    int rc;
    if (v == Py_None) {
        rc = sqlite3_bind_null(st, i);
    } else if (PyBool_Check(v)) {
        rc = sqlite3_bind_int64(st, i, v == Py_True ? 1 : 0);
    } else if (PyLong_Check(v)) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow) {
            PyErr_SetString(PyExc_OverflowError, "integer does not fit SQLite's 64 bits");
            return false;
        }
        rc = sqlite3_bind_int64(st, i, x);
    } else if (PyFloat_Check(v)) {
        rc = sqlite3_bind_double(st, i, PyFloat_AsDouble(v));
    } else if (PyUnicode_Check(v)) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(v, &n);
        if (!s) return false;
        rc = sqlite3_bind_text64(st, i, s, static_cast<sqlite3_uint64>(n), SQLITE_TRANSIENT, SQLITE_UTF8);
    } else if (PyBytes_Check(v)) {
        rc = sqlite3_bind_blob64(st, i, PyBytes_AS_STRING(v), static_cast<sqlite3_uint64>(PyBytes_GET_SIZE(v)),
                                 SQLITE_TRANSIENT);
    } else {
        PyErr_Format(PyExc_TypeError, "parameter %d has an unsupported type %s", i, Py_TYPE(v)->tp_name);
        return false;
    }
    if (rc != SQLITE_OK) {
        raise(db, rc);
        return false;
    }
    return true;
}

bool bindAll(sqlite3* db, sqlite3_stmt* st, PyObject* params) {
    if (!params || params == Py_None) return true;
    PyObject* seq = PySequence_Fast(params, "parameters must be a sequence");
    if (!seq) return false;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    if (n != sqlite3_bind_parameter_count(st)) {
        PyErr_Format(PyExc_ValueError, "statement takes %d parameters, %zd given", sqlite3_bind_parameter_count(st),
                     n);
        Py_DECREF(seq);
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!bindOne(db, st, static_cast<int>(i + 1), PySequence_Fast_GET_ITEM(seq, i))) {
            Py_DECREF(seq);
            return false;
        }
    }
    Py_DECREF(seq);
    return true;
}

PyObject* columnValue(sqlite3_stmt* st, int c) {
    switch (sqlite3_column_type(st, c)) {
        case SQLITE_INTEGER: return PyLong_FromLongLong(sqlite3_column_int64(st, c));
        case SQLITE_FLOAT: return PyFloat_FromDouble(sqlite3_column_double(st, c));
        case SQLITE_TEXT: {
            const char* t = reinterpret_cast<const char*>(sqlite3_column_text(st, c));
            // Text written by other programs may not be valid UTF-8: never fail a read on it.
            return PyUnicode_DecodeUTF8(t, sqlite3_column_bytes(st, c), "replace");
        }
        case SQLITE_BLOB: {
            const void* b = sqlite3_column_blob(st, c);
            return PyBytes_FromStringAndSize(static_cast<const char*>(b), sqlite3_column_bytes(st, c));
        }
        default: Py_RETURN_NONE;
    }
}

struct Stmt {
    sqlite3_stmt* st = nullptr;
    ~Stmt() { sqlite3_finalize(st); }
};

// Runs one prepared statement to the end; rows go into out when given.
bool runStatement(sqlite3* db, sqlite3_stmt* st, PyObject* out) {
    const int cols = sqlite3_column_count(st);
    for (;;) {
        int rc = sqlite3_step(st);
        if (rc == SQLITE_DONE) return true;
        if (rc != SQLITE_ROW) {
            raise(db, rc);
            return false;
        }
        if (!out) continue;
        PyObject* row = PyTuple_New(cols);
        if (!row) return false;
        for (int c = 0; c < cols; ++c) {
            PyObject* v = columnValue(st, c);
            if (!v) {
                Py_DECREF(row);
                return false;
            }
            PyTuple_SET_ITEM(row, c, v);
        }
        int appended = PyList_Append(out, row);
        Py_DECREF(row);
        if (appended != 0) return false;
    }
}

bool open(Connection* self) {
    if (self->db) return true;
    PyErr_SetString(sqliteError, "connection is closed");
    return false;
}

PyObject* conn_execute(PyObject* o, PyObject* args) {
    auto* self = reinterpret_cast<Connection*>(o);
    const char* sql = nullptr;
    PyObject* params = nullptr;
    if (!PyArg_ParseTuple(args, "s|O", &sql, &params) || !open(self)) return nullptr;
    Stmt s;
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v2(self->db, sql, -1, &s.st, &tail);
    if (rc != SQLITE_OK) return raise(self->db, rc);
    if (tail && *tail) {
        // One statement per call, so parameters cannot slip into a second one.
        std::string rest(tail);
        if (rest.find_first_not_of(" \t\r\n;") != std::string::npos) {
            PyErr_SetString(sqliteError, "only one statement per execute()");
            return nullptr;
        }
    }
    if (!s.st) return PyList_New(0);  // only a comment
    if (!bindAll(self->db, s.st, params)) return nullptr;
    PyObject* out = PyList_New(0);
    if (!out) return nullptr;
    if (!runStatement(self->db, s.st, out)) {
        Py_DECREF(out);
        return nullptr;
    }
    return out;
}

PyObject* conn_executemany(PyObject* o, PyObject* args) {
    auto* self = reinterpret_cast<Connection*>(o);
    const char* sql = nullptr;
    PyObject* rows = nullptr;
    if (!PyArg_ParseTuple(args, "sO", &sql, &rows) || !open(self)) return nullptr;
    Stmt s;
    int rc = sqlite3_prepare_v2(self->db, sql, -1, &s.st, nullptr);
    if (rc != SQLITE_OK) return raise(self->db, rc);
    if (!s.st) Py_RETURN_NONE;
    PyObject* it = PyObject_GetIter(rows);
    if (!it) return nullptr;
    while (PyObject* params = PyIter_Next(it)) {
        bool ok = bindAll(self->db, s.st, params) && runStatement(self->db, s.st, nullptr);
        Py_DECREF(params);
        sqlite3_reset(s.st);
        sqlite3_clear_bindings(s.st);
        if (!ok) {
            Py_DECREF(it);
            return nullptr;
        }
    }
    Py_DECREF(it);
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

PyObject* conn_changes(PyObject* o, PyObject*) {
    auto* self = reinterpret_cast<Connection*>(o);
    if (!open(self)) return nullptr;
    return PyLong_FromLong(sqlite3_changes(self->db));
}

PyObject* conn_in_transaction(PyObject* o, PyObject*) {
    auto* self = reinterpret_cast<Connection*>(o);
    if (!open(self)) return nullptr;
    return PyBool_FromLong(sqlite3_get_autocommit(self->db) == 0);
}

PyObject* conn_close(PyObject* o, PyObject*) {
    auto* self = reinterpret_cast<Connection*>(o);
    if (self->db) {
        // An open transaction is rolled back by the close: nothing half-written stays.
        sqlite3_close_v2(self->db);
        self->db = nullptr;
    }
    Py_RETURN_NONE;
}

void conn_dealloc(PyObject* o) {
    auto* self = reinterpret_cast<Connection*>(o);
    if (self->db) sqlite3_close_v2(self->db);
    self->db = nullptr;
    Py_TYPE(o)->tp_free(o);
}

PyMethodDef connMethods[] = {
    {"execute", conn_execute, METH_VARARGS, "execute(sql, params=()) -> list of row tuples"},
    {"executemany", conn_executemany, METH_VARARGS, "executemany(sql, rows)"},
    {"changes", conn_changes, METH_NOARGS, "rows changed by the last statement"},
    {"in_transaction", conn_in_transaction, METH_NOARGS, "whether a transaction is open"},
    {"close", conn_close, METH_NOARGS, "close the connection"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject connectionType = [] {
    PyTypeObject t{};
    t.ob_base.ob_base.ob_refcnt = 1;
    t.tp_name = "_fvsqlite.Connection";
    t.tp_basicsize = sizeof(Connection);
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = "A SQLite (SQLCipher) connection";
    t.tp_methods = connMethods;
    t.tp_dealloc = conn_dealloc;
    return t;
}();

PyObject* mod_connect(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"path", "key", "readonly", "timeout_ms", nullptr};
    const char* path = nullptr;
    PyObject* keyObj = Py_None;
    int readonly = 0;
    int timeoutMs = 5000;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|Opi", const_cast<char**>(keywords), &path, &keyObj, &readonly,
                                     &timeoutMs))
        return nullptr;
    std::string key;
    if (keyObj != Py_None) {
        Py_ssize_t n = 0;
        const char* k = PyUnicode_Check(keyObj) ? PyUnicode_AsUTF8AndSize(keyObj, &n) : nullptr;
        if (!k) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "key must be text");
            return nullptr;
        }
        key.assign(k, static_cast<size_t>(n));
    }
    sqlite3* db = nullptr;
    const int flags = (readonly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
    int rc = sqlite3_open_v2(path, &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        PyObject* r = raise(db, rc);
        sqlite3_close_v2(db);
        return r;
    }
    sqlite3_busy_timeout(db, timeoutMs);
    if (!key.empty()) {
        rc = sqlite3_key(db, key.data(), static_cast<int>(key.size()));
        if (rc != SQLITE_OK) {
            PyObject* r = raise(db, rc);
            sqlite3_close_v2(db);
            return r;
        }
    }
    // The first read shows a wrong key or a file that is no database.
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        PyObject* r = raise(db, rc);
        sqlite3_close_v2(db);
        return r;
    }
    auto* conn = PyObject_New(Connection, &connectionType);
    if (!conn) {
        sqlite3_close_v2(db);
        return nullptr;
    }
    conn->db = db;
    return reinterpret_cast<PyObject*>(conn);
}

PyObject* mod_version(PyObject*, PyObject*) { return PyUnicode_FromString(sqlite3_libversion()); }

PyMethodDef moduleMethods[] = {
    {"connect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(mod_connect)), METH_VARARGS | METH_KEYWORDS,
     "connect(path, key=None, readonly=False, timeout_ms=5000)"},
    {"sqlite_version", mod_version, METH_NOARGS, "the linked SQLite version"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "_fvsqlite", "The program's SQLite (SQLCipher).", -1,
                         moduleMethods, nullptr, nullptr, nullptr, nullptr};

PyObject* initModule() {
    if (PyType_Ready(&connectionType) < 0) return nullptr;
    PyObject* m = PyModule_Create(&moduleDef);
    if (!m) return nullptr;
    sqliteError = PyErr_NewException("_fvsqlite.Error", nullptr, nullptr);
    Py_XINCREF(sqliteError);
    if (PyModule_AddObject(m, "Error", sqliteError) < 0) {
        Py_XDECREF(sqliteError);
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}

}  // namespace

void registerSqliteModule() { PyImport_AppendInittab("_fvsqlite", &initModule); }

}  // namespace fv::py
