// talven: the command-line tool. Parses the global options (--help, --version, --lang,
// --trace), runs one subcommand, and turns every failure into one line on stderr and an exit
// status: 1 for a failed operation, 2 for a usage error, 130 for a cancelled copy.
#include "Commands.h"
#include "ProgressBar.h"

#include "Private/Windows/FileSystem_Utilities_Win32.h"
#include "Private/Windows/FileSystem_Win32_Install.h"
#include "onlineutils/SQLite3Wrapper.h"
#include "support/TalvenException.h"
#include "support/TalvenText.h"
#include "support/TalvenWindows.h"
#include "support/Trace.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char Version[] = "talven 1.0.0";

constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;
constexpr int ExitCancelled = 130;

void Err(const std::string& text) {
    const std::string line = "talven: " + text + "\n";
    std::fflush(stdout);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void PrintHelp() {
    std::string text = std::string(Version) +
                       "\nusage: talven [--lang CODE] [--trace LEVEL] COMMAND [ARGS]\n"
                       "       talven --help | --version\n\ncommands:\n";
    for (const Talven::CommandInfo& command : Talven::Commands()) {
        text += std::string("  talven ") + command.usage + "\n";
    }
    text += "\n--lang CODE    messages in the language of lang\\CODE.txt (DEU, FRA, ...)\n"
            "--trace LEVEL  trace lines up to LEVEL (1-3) to the debugger and the trace viewer\n"
            "exit status: 0 done, 1 failed, 2 usage error, 130 cancelled\n";
    Talven::Out(text);
}

// Ctrl+C and Ctrl+Break stop a running copy at its next progress report, so that it can remove
// its partial target; any other command ends at once as usual.
BOOL WINAPI OnConsoleControl(DWORD type) {
    if ((type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) && ProgressBar::AnyActive()) {
        ProgressBar::RequestCancel();
        return TRUE;
    }
    return FALSE;
}

// Selects the language whose table code is code; false when there is none.
bool SelectLanguage(const std::string& code) {
    TalvenText::LanguageImpl* impl = TalvenText::languageImpl();
    for (int index = 0; index < TalvenText::LanguageCount; ++index) {
        const TalvenText::LanguageRow* row = impl->language(index);
        if (row != nullptr && _stricmp(row->code, code.c_str()) == 0) {
            TalvenText::setLanguage(index, Talven::LanguageFolder());
            return true;
        }
    }
    return false;
}

// The message of a file failure: the kind, the path and the OS cause, on one line.
std::string Describe(const FileException& e) {
    std::string text = TextConvert::Chars(e.message());
    const ByteString path = e.path();
    if (!path.empty()) {
        text += ": " + TextConvert::Chars(path);
    }
    if (e.cause() != nullptr) {
        text += " (" + TextConvert::Chars(e.cause()->message()) + ")";
    }
    for (char& c : text) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    return text;
}

// The subcommand's arguments, checked against what it accepts.
Talven::Arguments ParseArguments(const Talven::CommandInfo& command,
                                 const std::vector<ByteString>& words, std::size_t first) {
    Talven::Arguments args;
    for (std::size_t i = first; i < words.size(); ++i) {
        const std::string word = TextConvert::Chars(words[i]);
        if (word.size() > 1 && word[0] == '-') {
            if (std::find(command.options.begin(), command.options.end(), word) !=
                command.options.end()) {
                if (i + 1 >= words.size()) {
                    throw Talven::UsageError(word + " needs a value");
                }
                args.options.emplace_back(word, words[++i]);
            } else if (std::find(command.flags.begin(), command.flags.end(), word) !=
                       command.flags.end()) {
                args.flags.push_back(word);
            } else {
                throw Talven::UsageError(std::string(command.name) + ": unknown option " + word);
            }
        } else {
            args.positional.push_back(words[i]);
        }
    }
    if (args.positional.size() < command.minArgs || args.positional.size() > command.maxArgs) {
        throw Talven::UsageError(std::string("usage: talven ") + command.usage);
    }
    return args;
}

int Run(const std::vector<ByteString>& words) {
    std::size_t i = 0;
    for (; i < words.size(); ++i) {
        const std::string word = TextConvert::Chars(words[i]);
        if (word == "--help" || word == "-h") {
            PrintHelp();
            return 0;
        }
        if (word == "--version") {
            Talven::Out(std::string(Version) + "\n");
            return 0;
        }
        if (word == "--lang" || word == "--trace") {
            if (i + 1 >= words.size()) {
                throw Talven::UsageError(word + " needs a value");
            }
            const std::string value = TextConvert::Chars(words[++i]);
            if (word == "--lang") {
                if (!SelectLanguage(value)) {
                    throw Talven::UsageError("unknown language: " + value);
                }
            } else {
                char* end = nullptr;
                const long level = std::strtol(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || level < 0 || level > 3) {
                    throw Talven::UsageError("--trace needs a level from 0 to 3");
                }
                UTrace::init();
                UTrace::setComponent("talven");
                UTrace::setLevel(static_cast<std::int32_t>(level));
                UTrace::setFlags(UTrace::FlagDebugger);
            }
            continue;
        }
        break;
    }
    if (i >= words.size()) {
        throw Talven::UsageError("no command (talven --help lists them)");
    }
    const std::string name = TextConvert::Chars(words[i]);
    for (const Talven::CommandInfo& command : Talven::Commands()) {
        if (name == command.name) {
            const Talven::Arguments args = ParseArguments(command, words, i + 1);
            UTrace::trace1("command %s", command.name);
            command.run(args);
            UTrace::trace1("command %s done", command.name);
            return 0;
        }
    }
    throw Talven::UsageError("unknown command: " + name + " (talven --help lists them)");
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    ::SetConsoleOutputCP(CP_UTF8);
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    int status = 0;
    try {
        FileSystem_Win32::Install();
        std::vector<ByteString> words;
        for (int i = 1; i < argc; ++i) {
            words.push_back(TextConvert::WideToUtf8(argv[i]));
        }
        status = Run(words);
    } catch (const Talven::UsageError& e) {
        Err(e.what());
        status = ExitUsage;
    } catch (const Talven::Cancelled&) {
        Err("cancelled; the partial copy was removed");
        status = ExitCancelled;
    } catch (const FileException& e) {
        UTrace::trace1("failed: %s", e.what());
        Err(Describe(e));
        status = ExitFailed;
    } catch (const TalvenException& e) {
        UTrace::trace1("failed: %s", e.what());
        Err(TextConvert::Chars(e.message()));
        status = ExitFailed;
    } catch (const SQLite3WrapperException& e) {
        Err(e.what());
        status = ExitFailed;
    } catch (const std::exception& e) {
        Err(TextConvert::Chars(TalvenException(e).message()));
        status = ExitFailed;
    }
    std::fflush(stdout);
    // Removes the private temporary folder, should anything have made it.
    FileSystem_Win32::Uninstall();
    UTrace::shutdown();
    return status;
}
