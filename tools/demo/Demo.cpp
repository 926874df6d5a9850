// talven_demo: shows what the library can do on built-in sample data.
#include "support/TalvenException.h"

#include <cstdio>

int main() {
    TalvenException e(".\\tools\\demo", 1);
    std::printf("%s\n", e.what());
    return 0;
}
