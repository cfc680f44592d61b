// floorvote panel: opens the control panel of the running `floorvote run` in the browser.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "app/Commands.hpp"
#include "panel/PanelLink.hpp"
#include "session/AppSettings.hpp"

extern char** environ;

namespace fv::app {
namespace {

// Starts xdg-open with the address (no shell); true when it reported success.
bool openInBrowser(const std::string& url) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::string program = "xdg-open";
    char* argv[] = {program.data(), const_cast<char*>(url.c_str()), nullptr};
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, "xdg-open", &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return false;
    // xdg-open hands over to the browser and returns; a browser it starts itself keeps running.
    for (int i = 0; i < 100; ++i) {
        int status = 0;
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

void openPanel(int port, bool printOnly) {
    AppSettings::migrateIfNeeded();
    if (port < 0) port = static_cast<int>(AppSettings::load().panelPort);
    auto link = panel::findPanelLink(static_cast<uint16_t>(port));
    if (!link && port != 0) link = panel::findPanelLink(0);
    if (!link)
        throw CommandFailed{1, "Kein laufendes „floorvote run“ mit Bedienfeld gefunden. Bitte zuerst „floorvote run“ starten."};
    if (printOnly) {
        say(link->url);
        return;
    }
    if (openInBrowser(link->url)) {
        say("Bedienfeld im Browser geöffnet (Port " + std::to_string(link->port) + ").");
    } else {
        say("Der Browser ließ sich nicht öffnen. Bitte diese Adresse im Browser aufrufen:");
        say(link->url);
    }
}

const CommandRegistrar reg(45, [](CLI::App& root) {
    auto* c = root.add_subcommand("panel", "Das Bedienfeld der laufenden Live-Sitzung im Browser öffnen");
    static int port = -1;
    static bool printOnly = false;
    c->add_option("--port", port, "Port des Bedienfelds statt des gespeicherten")->check(nonNegativeInteger());
    c->add_flag("--print", printOnly, "Nur die Adresse ausgeben, keinen Browser öffnen");
    c->callback([] { openPanel(port, printOnly); });
});

}  // namespace
}  // namespace fv::app
