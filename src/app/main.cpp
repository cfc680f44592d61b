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

// CLI11 speaks English; the DJ reads German.
void germanHelp(CLI::App& root) {
    auto f = root.get_formatter();
    for (auto [k, v] : {std::pair{"Usage", "Aufruf"}, {"OPTIONS", "OPTIONEN"}, {"SUBCOMMAND", "BEFEHL"},
                        {"SUBCOMMANDS", "BEFEHLE"}, {"REQUIRED", "ERFORDERLICH"}, {"Positionals", "Argumente"},
                        {"Needs", "Braucht"}, {"Excludes", "Schließt aus"}, {"INT", "ZAHL"},
                        {"UINT", "ZAHL"}, {"FLOAT", "ZAHL"}})
        f->label(k, v);
    root.failure_message([](const CLI::App*, const CLI::Error& e) {
        std::string what = e.what();
        auto after = [&](const std::string& sep) {
            auto i = what.find(sep);
            return i == std::string::npos ? what : what.substr(i + sep.size());
        };
        std::string text;
        if (dynamic_cast<const CLI::RequiredError*>(&e)) {
            auto i = what.find(" is required");
            text = what.rfind("A subcommand", 0) == 0 ? "Bitte einen Befehl angeben."
                   : i != std::string::npos           ? "Angabe fehlt: " + what.substr(0, i)
                                                      : "Angabe fehlt: " + what;
        } else if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
            text = "Unerwartete Argumente: " + after(": ");
        } else if (dynamic_cast<const CLI::ConversionError*>(&e) || dynamic_cast<const CLI::ValidationError*>(&e)) {
            text = "Ungültiger Wert: " + what;
        } else if (dynamic_cast<const CLI::ArgumentMismatch*>(&e)) {
            text = "Falsche Anzahl von Werten: " + what;
        } else {
            text = "Ungültiger Aufruf: " + what;
        }
        return text + "\nDie Befehle und ihre Angaben zeigt --help, z. B. „floorvote reply --help“.\n";
    });
}

void germanGroups(CLI::App& app) {
    for (CLI::App* sub : app.get_subcommands({})) {
        if (sub->get_group() == "Subcommands") sub->group("Befehle");
        germanGroups(*sub);
    }
}

}  // namespace fv::app

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "C.UTF-8");
    CLI::App root{"Floorvote – der DJ-Begleiter für Musikwünsche"};
    root.option_defaults()->group("Optionen");
    root.set_help_flag("-h,--help", "Diese Hilfe anzeigen");
    root.set_version_flag("--version", std::string("floorvote ") + FLOORVOTE_VERSION, "Version anzeigen");
    root.require_subcommand(0, 1);
    fv::app::germanHelp(root);
    fv::app::setupAllCommands(root);
    fv::app::germanGroups(root);
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
