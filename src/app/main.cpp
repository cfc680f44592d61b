#include <algorithm>
#include <clocale>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <vector>

#include "app/Commands.hpp"
#include "core/ErrorText.hpp"
#include "core/Json.hpp"
#include "core/Log.hpp"

namespace fv::app {
namespace {
std::vector<std::pair<int, CommandSetup>>& registry() {
    static std::vector<std::pair<int, CommandSetup>> r;
    return r;
}

struct Output {
    std::mutex m;
    bool verbose = false;
    std::vector<std::string> prefixes;
};
Output& output() {
    static Output o;
    return o;
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

// The log goes to its file. The terminal sees it with --verbose (on standard error, so results
// on standard output stay clean), and the lines a command shows as its own output (on standard
// output).
void setupLogging() {
    setLogToStdout(false);
    setLogFile(defaultLogFilePath());
    setLogSink([](const std::string& line) {
        auto& o = output();
        std::lock_guard g(o.m);
        for (const auto& p : o.prefixes)
            if (line.rfind(p, 0) == 0) return say(line);
        if (o.verbose) complain(line);
    });
}

void setVerbose(bool on) {
    std::lock_guard g(output().m);
    output().verbose = on;
}

void showLogOnTerminal(const std::string& prefix) {
    std::lock_guard g(output().m);
    output().prefixes.push_back(prefix);
}

CLI::Validator nonNegativeInteger() {
    return CLI::Validator(
        [](std::string& v) -> std::string {
            bool digits = !v.empty() && v.size() <= 9 &&
                          std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; });
            return digits ? std::string() : "„" + v + "“ ist keine ganze Zahl ab 0";
        },
        "AB 0");
}

namespace {

// The command the user typed, for "floorvote cdj watch --help".
std::string typedCommand(const CLI::App* root) {
    std::string path = "floorvote";
    const CLI::App* cur = root;
    for (;;) {
        auto subs = cur->get_subcommands();
        if (subs.empty()) break;
        cur = subs.front();
        path += " " + cur->get_name();
    }
    return path;
}

std::string afterPrefix(const std::string& what, const std::string& prefix) {
    return what.rfind(prefix, 0) == 0 ? what.substr(prefix.size()) : what;
}

std::string germanParseError(const CLI::App* root, const CLI::Error& e) {
    const std::string what = e.what();
    if (dynamic_cast<const CLI::RequiredError*>(&e)) {
        if (what.rfind("A subcommand", 0) == 0 || what.rfind("Requires at least", 0) == 0) {
            std::vector<std::string> rest = root->remaining(true);
            if (!rest.empty() && rest.front().rfind("-", 0) != 0) return "Unbekannter Befehl: " + rest.front();
            return "Bitte einen Befehl angeben.";
        }
        auto i = what.find(" is required");
        return "Angabe fehlt: " + (i != std::string::npos ? what.substr(0, i) : what);
    }
    if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
        // The words left over, in the order typed.
        std::vector<std::string> rest = root->remaining(true);
        std::string joined;
        for (const auto& r : rest) joined += (joined.empty() ? "" : " ") + r;
        if (joined.empty()) joined = afterPrefix(afterPrefix(what, "The following arguments were not expected: "),
                                                 "The following argument was not expected: ");
        const CLI::App* cur = root;
        for (auto subs = cur->get_subcommands(); !subs.empty(); subs = cur->get_subcommands()) cur = subs.front();
        // A word where a command belongs is a mistyped command.
        if (!rest.empty() && rest.front().rfind("-", 0) != 0 && !cur->get_subcommands({}).empty() &&
            cur->get_subcommands().empty())
            return "Unbekannter Befehl: " + rest.front();
        return "Unerwartete Argumente: " + joined;
    }
    if (dynamic_cast<const CLI::ConversionError*>(&e)) {
        if (what.rfind("Could not convert: ", 0) == 0) {
            std::string rest = afterPrefix(what, "Could not convert: ");
            auto eq = rest.find(" = ");
            if (eq != std::string::npos)
                return "Ungültiger Wert für " + rest.substr(0, eq) + ": „" + rest.substr(eq + 3) + "“";
        }
        if (auto i = what.find(": too many inputs for a flag"); i != std::string::npos)
            return what.substr(0, i) + " ist ein Schalter und nimmt keinen Wert";
        if (auto i = what.find(": Should be true/false or a number"); i != std::string::npos)
            return what.substr(0, i) + ": erwartet wird true/false oder eine Zahl";
        if (what.rfind("The value ", 0) == 0) {
            auto i = what.find(" is not an allowed value for ");
            if (i != std::string::npos)
                return "Der Wert " + what.substr(10, i - 10) + " ist für " + what.substr(i + 29) + " nicht erlaubt";
        }
        return "Ungültiger Wert: " + what;
    }
    if (dynamic_cast<const CLI::ValidationError*>(&e)) return "Ungültiger Wert für " + what;
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e)) {
        auto colon = what.find(':');
        std::string name = colon != std::string::npos ? what.substr(0, colon) : std::string();
        if (what.find("Expected") == 0 || name.empty()) return "Falsche Anzahl von Werten";
        return "Falsche Anzahl von Werten für " + name;
    }
    if (dynamic_cast<const CLI::RequiresError*>(&e)) {
        auto i = what.find(" requires ");
        if (i != std::string::npos) return what.substr(0, i) + " braucht " + what.substr(i + 10);
    }
    if (dynamic_cast<const CLI::ExcludesError*>(&e)) {
        auto i = what.find(" excludes ");
        if (i != std::string::npos) return what.substr(0, i) + " schließt " + what.substr(i + 10) + " aus";
    }
    return "Ungültiger Aufruf: " + what;
}

}  // namespace

// CLI11 speaks English; the DJ reads German.
void germanHelp(CLI::App& root) {
    auto f = root.get_formatter();
    for (auto [k, v] : {std::pair{"Usage", "Aufruf"}, {"OPTIONS", "OPTIONEN"}, {"SUBCOMMAND", "BEFEHL"},
                        {"SUBCOMMANDS", "BEFEHLE"}, {"REQUIRED", "ERFORDERLICH"}, {"Positionals", "Argumente"},
                        {"Options", "Optionen"}, {"Subcommands", "Befehle"}, {"Needs", "Braucht"},
                        {"Excludes", "Schließt aus"}, {"Env", "Umgebung"}, {"INT", "ZAHL"}, {"UINT", "ZAHL"},
                        {"FLOAT", "ZAHL"}, {"TEXT", "TEXT"}})
        f->label(k, v);
    root.failure_message([](const CLI::App* app, const CLI::Error& e) {
        return germanParseError(app, e) + "\nHilfe: „" + typedCommand(app) + " --help“\n";
    });
}

// Groups and value names of every command in German (help flags and type names are set by
// CLI11 per command).
void germanCommands(CLI::App& app) {
    static const std::vector<std::pair<std::string, std::string>> types = {
        {"INT", "ZAHL"}, {"UINT", "ZAHL"}, {"FLOAT", "ZAHL"}, {"TEXT", "TEXT"}, {"BOOLEAN", "JA/NEIN"}};
    if (CLI::Option* help = app.get_help_ptr()) help->group("Optionen");
    for (CLI::Option* opt : app.get_options()) {
        if (opt->get_group() == "Options") opt->group("Optionen");
        std::string full = opt->get_type_name();
        std::string base = full.substr(0, full.find(':'));
        for (const auto& [en, de] : types)
            if (base == en) opt->type_name(de);
    }
    for (CLI::App* sub : app.get_subcommands({})) {
        if (sub->get_group() == "Subcommands") sub->group("Befehle");
        germanCommands(*sub);
    }
}

}  // namespace fv::app

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "C.UTF-8");
    fv::app::setupLogging();
    CLI::App root{"Floorvote – der DJ-Begleiter für Musikwünsche"};
    root.option_defaults()->group("Optionen");
    root.set_help_flag("-h,--help", "Diese Hilfe anzeigen");
    root.set_version_flag("--version", std::string("floorvote ") + FLOORVOTE_VERSION, "Version anzeigen");
    root.add_flag_callback("-v,--verbose", [] { fv::app::setVerbose(true); },
                           "Protokollzeilen auch im Terminal zeigen (sonst nur in der Protokolldatei)")
        ->trigger_on_parse();
    // -v also after the command: "floorvote run -v".
    root.fallthrough();
    root.require_subcommand(0, 1);
    fv::app::germanHelp(root);
    fv::app::setupAllCommands(root);
    fv::app::germanCommands(root);
    try {
        root.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return root.exit(e);
    } catch (const fv::app::CommandFailed& f) {
        if (!f.message.empty()) fv::app::complain(fv::germanError(f.message));
        return f.code;
    } catch (const std::exception& e) {
        fv::app::complain("Fehler: " + fv::germanError(e.what()));
        return 1;
    }
    return 0;
}
