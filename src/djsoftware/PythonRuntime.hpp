#pragma once
// The embedded CPython (the system's libpython3.11) that runs the shipped rekordbox_bridge module.
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace fv {

class PythonRuntimeError : public std::runtime_error {
public:
    enum class Kind { embeddedRuntimeMissing };
    static PythonRuntimeError embeddedRuntimeMissing() { return PythonRuntimeError(Kind::embeddedRuntimeMissing); }
    Kind kind() const { return kind_; }

private:
    explicit PythonRuntimeError(Kind k) : std::runtime_error("Embedded Python runtime not found"), kind_(k) {}
    Kind kind_;
};

// Where the interpreter and the shipped module live.
struct PythonRuntimeLocations {
    std::filesystem::path home;          // Python's prefix, e.g. /usr
    std::filesystem::path stdlib;        // home/lib/python3.11
    std::filesystem::path moduleFolder;  // the shipped python/ folder (holds rekordbox_bridge/)
};

class PythonRuntime {
public:
    static PythonRuntime& shared();

    bool isConfigured() const;
    // Checks the runtime and the module folder, sets the environment, starts the interpreter.
    // Throws PythonRuntimeError; once configured, further calls do nothing.
    void configure();
    void configure(const PythonRuntimeLocations& where);

    // The build's Python prefix, and the shipped module folder: $FLOORVOTE_PYTHON_PATH, else
    // "python" beside the executable, else "python" one folder up (test programs in the build tree).
    static PythonRuntimeLocations defaultLocations();
    // How many times the environment was set up (it must be once).
    int setupCount() const { return setupCount_; }
    const PythonRuntimeLocations& locations() const { return where_; }

    // Runs fn holding the interpreter lock (configure first).
    void withGil(const std::function<void()>& fn);

private:
    PythonRuntime() = default;
    mutable std::mutex m_;
    bool configured_ = false;
    int setupCount_ = 0;
    PythonRuntimeLocations where_;
};

}  // namespace fv
