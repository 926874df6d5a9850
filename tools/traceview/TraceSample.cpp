// trace_sample: a small traced program for trying the trace viewer. Writes a scope, numbered
// lines, a line with a value, a line above the level (not written) and an exception line.
//   trace_sample [--lines N] [--interval MS] [--component NAME]
#include "Private/Windows/TalvenWindows.h"
#include "support/ByteString.h"
#include "support/TalvenException.h"
#include "support/Trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    long lines = 5;
    unsigned long interval = 0;
    std::string component = "TraceSample";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--lines") == 0) {
            lines = std::strtol(argv[i + 1], nullptr, 10);
        } else if (std::strcmp(argv[i], "--interval") == 0) {
            interval = std::strtoul(argv[i + 1], nullptr, 10);
        } else if (std::strcmp(argv[i], "--component") == 0) {
            component = argv[i + 1];
        } else {
            std::fprintf(stderr,
                         "usage: trace_sample [--lines N] [--interval MS] [--component NAME]\n");
            return 2;
        }
    }

    UTrace::init();
    UTrace::setComponent(component.c_str());
    UTrace::setLevel(3);
    UTrace::setFlags(UTrace::FlagDebugger);
    {
        UTrace::Function run("run", "%ld lines", lines);
        for (long i = 0; i < lines; ++i) {
            UTrace::trace2("line %ld", i);
            if (interval != 0) {
                ::Sleep(interval);
            }
        }
        UTrace::trace3Value(42, "the answer");
        UTrace::trace(4, "level 4 is above the level and not written");
        UTrace::traceException(
            FileException(FileException::FileNotFound, TextConvert::Bytes("C:\\missing.txt")),
            "open");
        run.setResult(0, nullptr);
    }
    UTrace::shutdown();
    return 0;
}
