#pragma once
#include <functional>
#include <string>

#include <CLI/CLI.hpp>

namespace fv::app {

// Each command file registers its subcommands at start-up; `order` keeps the help listing stable.
using CommandSetup = std::function<void(CLI::App& root)>;

struct CommandRegistrar {
    CommandRegistrar(int order, CommandSetup setup);
};

void setupAllCommands(CLI::App& root);

// Raised by a command to end with a message and an exit code.
struct CommandFailed {
    int code;
    std::string message;
};

// The live session on the active event until Ctrl-C or "ende"; the exit code.
int runLiveSession();

// Prints to standard output / standard error.
void say(const std::string& text);
void complain(const std::string& text);

// Log lines beginning with prefix (e.g. "[CDJLink ") are the command's own output: they show on
// the terminal without --verbose.
void showLogOnTerminal(const std::string& prefix);
void setVerbose(bool on);
// A whole number from 0, with a German message for anything else.
CLI::Validator nonNegativeInteger();

}  // namespace fv::app
