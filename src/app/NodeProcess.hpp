#pragma once
// A Node program that `floorvote` starts and owns: the local event service or the simulated
// guests. It runs in its own process group (Ctrl-C in the terminal is ours to handle, not its),
// reads our pipe as its standard input and ends when that closes, also when we die. Its first
// output line is read on its own (the service's port line); every later line goes to a log file
// and to a callback on the main loop.
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace fv::app {

class NodeProcess {
public:
    NodeProcess() = default;
    ~NodeProcess();
    NodeProcess(const NodeProcess&) = delete;
    NodeProcess& operator=(const NodeProcess&) = delete;

    // Starts `node args...`; standard error goes to the log file as well. False with a reason.
    bool start(const std::vector<std::string>& args, const std::filesystem::path& logFile, std::string& error);
    // The first line of output, waiting at most `limit`; nothing when the program ended or took too long.
    std::optional<std::string> firstLine(std::chrono::milliseconds limit);
    // From now on lines are logged and handed to onLine on the main loop.
    void follow(std::function<void(const std::string&)> onLine);
    // Closes its input, waits up to `grace` for it to end, then kills it.
    void stop(std::chrono::milliseconds grace = std::chrono::seconds(3));
    bool running();

private:
    struct Shared;
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    int log_ = -1;
    std::string pending_;  // read past the first line
    std::shared_ptr<Shared> shared_;
    std::thread reader_;
};

// The folder of the local event service: $FLOORVOTE_SERVICE_DIR, else the one beside the program,
// else the source tree's.
std::filesystem::path serviceDirectory();

}  // namespace fv::app
