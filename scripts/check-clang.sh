#!/usr/bin/env bash
# The second compiler: every C++ source of ours (library, tools, benchmarks, examples, tests) is
# compiled by Debian's clang for the MinGW target, warnings as errors, without generating code.
# It takes the sources, include folders and defines from a configured build folder's
# compile_commands.json, and GCC's MinGW library headers, as clang has none of its own there.
# Usage: check-clang.sh BUILD_DIR   (e.g. .build/x86_64-checked)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:?usage: check-clang.sh BUILD_DIR}"
gcc_cxx="$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++ | sort -V | tail -n 1)"

python3 - "$root" "$build/compile_commands.json" >"$build/clang-commands.txt" <<'EOF'
import json, shlex, sys
root, commands = sys.argv[1], sys.argv[2]
for entry in json.load(open(commands)):
    source = entry["file"]
    if not source.startswith(root + "/") or "/third_party/" in source or not source.endswith(".cpp"):
        continue
    words = shlex.split(entry["command"])
    keep = []
    for i, w in enumerate(words):
        if w == "-isystem":  # the folder is the next word
            keep += words[i:i + 2]
        elif w.startswith(("-I", "-D", "-isystem")):
            keep.append(w)
    print(shlex.join(keep + [source]))
EOF

count=$(wc -l <"$build/clang-commands.txt")
echo "clang: compiling $count sources"
# One line per source; xargs runs two compilers at once and fails if any compile fails.
xargs -P 2 -L 1 clang++ --target=x86_64-w64-mingw32 -std=c++17 -fsyntax-only -Wall -Wextra -Werror \
    -isystem "$gcc_cxx" -isystem "$gcc_cxx/x86_64-w64-mingw32" <"$build/clang-commands.txt"
echo "clang: $count sources compiled without warnings"
