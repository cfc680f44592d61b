#include "platform/Notifier.hpp"

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/Log.hpp"

extern char** environ;

namespace fv {
namespace {

// Runs a program without a shell (arguments are never interpreted) and returns its exit status.
int runProgram(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class DbusNotifier : public Notifier {
public:
    void notify(const std::string& title, const std::string& body, bool withSound) override {
        std::vector<std::string> args = {
            "gdbus", "call", "--session", "--timeout", "3", "--dest", "org.freedesktop.Notifications",
            "--object-path", "/org/freedesktop/Notifications", "--method", "org.freedesktop.Notifications.Notify",
            "Floorvote", "0", "", title, body, "[]",
            withSound ? "{'sound-name': <'message-new-instant'>}" : "{'suppress-sound': <true>}", "-1"};
        // Posting must never hold up the caller; a failed post falls back to the console.
        std::thread([args, title, body, withSound] {
            if (runProgram(args) != 0) ConsoleNotifier().notify(title, body, withSound);
        }).detach();
    }
};

bool desktopServiceAnswers() {
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (!bus || !*bus) return false;
    return runProgram({"gdbus", "call", "--session", "--timeout", "2", "--dest", "org.freedesktop.Notifications",
                       "--object-path", "/org/freedesktop/Notifications", "--method",
                       "org.freedesktop.Notifications.GetServerInformation"}) == 0;
}
}  // namespace

void ConsoleNotifier::notify(const std::string& title, const std::string& body, bool withSound) {
    logLine("Notification", title + (body.empty() ? "" : ": " + body));
    if (withSound) {
        // The terminal bell stands in for the default sound.
        std::fputs("\a", stdout);
        std::fflush(stdout);
    }
}

std::shared_ptr<Notifier> Notifier::makeDefault() {
    if (desktopServiceAnswers()) return std::make_shared<DbusNotifier>();
    return std::make_shared<ConsoleNotifier>();
}

}  // namespace fv
