// trace_sample: a small traced program for trying the trace viewer. Writes a scope, numbered
// lines, a line with a value, a line above the level (not written) and an exception line.
//   trace_sample [--lines N] [--interval MS] [--rate LINES_PER_SECOND] [--component NAME]
//                [--no-debugger]
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
    double rate = 0; // lines per second, 0: as fast as they go
    std::string component = "TraceSample";
    std::uint32_t flags = UTrace::FlagDebugger;
    for (int i = 1; i < argc; i += 2) {
        if (std::strcmp(argv[i], "--no-debugger") == 0) {
            flags = 0; // only the viewer: the debugger's exception costs more than the line
            --i;
        } else if (i + 1 == argc) {
            break;
        } else if (std::strcmp(argv[i], "--lines") == 0) {
            lines = std::strtol(argv[i + 1], nullptr, 10);
        } else if (std::strcmp(argv[i], "--interval") == 0) {
            interval = std::strtoul(argv[i + 1], nullptr, 10);
        } else if (std::strcmp(argv[i], "--rate") == 0) {
            rate = std::strtod(argv[i + 1], nullptr);
        } else if (std::strcmp(argv[i], "--component") == 0) {
            component = argv[i + 1];
        } else {
            std::fprintf(stderr, "usage: trace_sample [--lines N] [--interval MS] [--rate N] "
                                 "[--component NAME] [--no-debugger]\n");
            return 2;
        }
    }

    UTrace::init();
    UTrace::setComponent(component.c_str());
    UTrace::setLevel(3);
    UTrace::setFlags(flags);
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    {
        UTrace::Function run("run", "%ld lines", lines);
        for (long i = 0; i < lines; ++i) {
            UTrace::trace2("line %ld", i);
            if (interval != 0) {
                ::Sleep(interval);
            }
            // At a rate, line i+1 waits for its time: i+1 lines in (i+1)/rate seconds.
            for (LARGE_INTEGER now; rate > 0; ::Sleep(1)) {
                ::QueryPerformanceCounter(&now);
                const double due = static_cast<double>(i + 1) / rate;
                if (static_cast<double>(now.QuadPart - start.QuadPart) >=
                    due * static_cast<double>(frequency.QuadPart)) {
                    break;
                }
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
