#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "djsoftware/PythonRuntime.hpp"

#include <cstdlib>

#include <unistd.h>

#include "core/Log.hpp"
#include "djsoftware/PythonSqlite.hpp"

#ifndef FLOORVOTE_PYTHON_HOME
#define FLOORVOTE_PYTHON_HOME "/usr"
#endif

namespace fv {
namespace fs = std::filesystem;

namespace {

fs::path executableFolder() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe.parent_path();
}

bool isFile(const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec);
}

bool addPath(PyConfig& config, const fs::path& p) {
    std::wstring w = p.wstring();
    return !PyStatus_Exception(PyWideStringList_Append(&config.module_search_paths, w.c_str()));
}

}  // namespace

PythonRuntime& PythonRuntime::shared() {
    static PythonRuntime* runtime = new PythonRuntime;  // lives through exit: the interpreter is never torn down
    return *runtime;
}

bool PythonRuntime::isConfigured() const {
    std::lock_guard<std::mutex> l(m_);
    return configured_;
}

PythonRuntimeLocations PythonRuntime::defaultLocations() {
    PythonRuntimeLocations w;
    w.home = FLOORVOTE_PYTHON_HOME;
    w.stdlib = w.home / "lib" / ("python" + std::to_string(PY_MAJOR_VERSION) + "." + std::to_string(PY_MINOR_VERSION));
    if (const char* env = std::getenv("FLOORVOTE_PYTHON_PATH"); env && *env) {
        w.moduleFolder = env;
        return w;
    }
    const fs::path exeDir = executableFolder();
    for (const fs::path& candidate : {exeDir / "python", exeDir.parent_path() / "python"}) {
        if (isFile(candidate / "rekordbox_bridge" / "__init__.py")) {
            w.moduleFolder = candidate;
            return w;
        }
    }
    w.moduleFolder = exeDir / "python";
    return w;
}

void PythonRuntime::configure() { configure(defaultLocations()); }

void PythonRuntime::configure(const PythonRuntimeLocations& where) {
    std::lock_guard<std::mutex> l(m_);
    if (configured_) return;

    // The interpreter is linked into the program; its standard library and our module are files.
    if (!isFile(where.stdlib / "encodings" / "__init__.py") || !isFile(where.stdlib / "json" / "__init__.py") ||
        !isFile(where.moduleFolder / "rekordbox_bridge" / "__init__.py")) {
        logLine("PythonRuntime", "runtime missing: stdlib=" + where.stdlib.string() +
                                     " modules=" + where.moduleFolder.string());
        throw PythonRuntimeError::embeddedRuntimeMissing();
    }

    // Environment for the interpreter and anything it starts. Home and search path go through the
    // isolated configuration below instead of PYTHONHOME/PYTHONPATH, so a Python set up in the
    // user's shell (pyenv, a virtualenv) can neither redirect ours nor be redirected by it.
    ::setenv("PYTHONNOUSERSITE", "1", 1);
    ::setenv("PYTHONDONTWRITEBYTECODE", "1", 1);
    ::setenv("PYTHONUNBUFFERED", "1", 1);
    ::setenv("OPENBLAS_NUM_THREADS", "1", 0);
    ::setenv("OMP_NUM_THREADS", "1", 0);
    ++setupCount_;

    py::registerSqliteModule();

    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    bool ok = true;
    auto check = [&](PyStatus s) {
        if (PyStatus_Exception(s)) ok = false;
    };
    check(PyConfig_SetString(&config, &config.program_name, L"floorvote"));
    check(PyConfig_SetString(&config, &config.home, where.home.wstring().c_str()));
    config.module_search_paths_set = 1;
    ok = ok && addPath(config, where.moduleFolder) && addPath(config, where.stdlib) &&
         addPath(config, where.stdlib / "lib-dynload");
    config.site_import = 0;           // no site-packages: the module needs the standard library only
    config.user_site_directory = 0;
    config.write_bytecode = 0;        // never write into the shipped folder
    config.buffered_stdio = 0;
    config.install_signal_handlers = 0;  // Ctrl-C belongs to the program, not to Python
    config.parse_argv = 0;
    if (ok) {
        PyStatus s = Py_InitializeFromConfig(&config);
        if (PyStatus_Exception(s)) {
            logLine("PythonRuntime", std::string("start failed: ") + (s.err_msg ? s.err_msg : "?"));
            ok = false;
        }
    }
    PyConfig_Clear(&config);
    if (!ok) throw PythonRuntimeError::embeddedRuntimeMissing();

    // The lock is taken per call, on whatever thread makes it.
    PyEval_SaveThread();
    where_ = where;
    configured_ = true;
}

void PythonRuntime::withGil(const std::function<void()>& fn) {
    PyGILState_STATE state = PyGILState_Ensure();
    try {
        fn();
    } catch (...) {
        PyGILState_Release(state);
        throw;
    }
    PyGILState_Release(state);
}

}  // namespace fv
