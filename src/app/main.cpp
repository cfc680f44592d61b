#include <algorithm>
#include <clocale>
#include <cstdio>
#include <iostream>
#include <vector>

#include "app/Commands.hpp"
#include "core/Json.hpp"

namespace fv::app {
namespace {
std::vector<std::pair<int, CommandSetup>>& registry() {
    static std::vector<std::pair<int, CommandSetup>> r;
    return r;
}
}  // namespace

CommandRegistrar::CommandRegistrar(int order, CommandSetup setup) { registry().emplace_back(order, std::move(setup)); }

void setupAllCommands(CLI::App& root) {
    auto& r = registry();
    std::stable_sort(r.begin(), r.end(), [](auto& a, auto& b) { return a.first < b.first; });
    for (auto& [order, setup] : r) setup(root);
}

void say(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void complain(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace fv::app

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "C.UTF-8");
    CLI::App root{"Floorvote – der DJ-Begleiter für Musikwünsche"};
    root.set_help_flag("-h,--help", "Diese Hilfe anzeigen");
    root.set_version_flag("--version", std::string("floorvote ") + FLOORVOTE_VERSION, "Version anzeigen");
    root.require_subcommand(0, 1);
    fv::app::setupAllCommands(root);
    try {
        root.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return root.exit(e);
    } catch (const fv::app::CommandFailed& f) {
        if (!f.message.empty()) fv::app::complain(f.message);
        return f.code;
    } catch (const std::exception& e) {
        fv::app::complain(std::string("Fehler: ") + e.what());
        return 1;
    }
    return 0;
}
