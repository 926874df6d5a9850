// The talven tool's subcommands and what they share: the parsed arguments, output in UTF-8 and
// the usage error.
#pragma once

#include "support/ByteString.h"

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Talven {

// A command line that does not fit its command: exit status 2.
class UsageError : public std::runtime_error {
public:
    explicit UsageError(const std::string& text) : std::runtime_error(text) {}
};

// The user stopped a copy or move; the partial target has been removed: exit status 130.
class Cancelled : public std::runtime_error {
public:
    Cancelled() : std::runtime_error("cancelled") {}
};

// A subcommand's arguments after the global options: the positional ones (UTF-8) and the
// flags and options that it allows.
struct Arguments {
    std::vector<ByteString> positional;
    std::vector<std::string> flags;                          // "-r", "--folders", ...
    std::vector<std::pair<std::string, ByteString>> options; // "--date" and its value

    bool Has(const char* flag) const;
    // The value of option, or empty.
    ByteString Option(const char* option) const;
};

// Writes UTF-8 text to standard output as it stands.
void Out(const std::string& text);
void Out(const ByteString& text);

// The width of the console that standard output writes to, or 79 when it is no console.
int ConsoleWidth();

// The folder of the language files, UTF-8.
ByteString LanguageFolder();

// Runs one subcommand; raises UsageError, Cancelled, or what the library raises.
using Command = std::function<void(const Arguments&)>;
struct CommandInfo {
    const char* name;
    const char* usage;
    std::vector<std::string> flags;   // flags the command accepts
    std::vector<std::string> options; // options with a value
    std::size_t minArgs;
    std::size_t maxArgs;
    Command run;
};
const std::vector<CommandInfo>& Commands();

// The guided tour (Demo.cpp).
void DemoCommand(const Arguments& args);

} // namespace Talven
