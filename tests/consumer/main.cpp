// Consumer check: builds against the installed headers and library and prints a library message.
#include <support/TalvenException.h>

#include <cstdio>

int main() {
    TalvenException e(".\\consumer", 7);
    std::printf("%s\n", e.what());
    return e.code() == -2 ? 0 : 1;
}
