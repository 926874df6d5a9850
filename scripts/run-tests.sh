#!/usr/bin/env bash
# Builds both architectures and runs every test under Wine in the checked x86_64 build
# (undefined behaviour trapped, library assertions on); the i686 build is compiled and linked.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
trap talven_stop_wine EXIT
bash "$TALVEN_ROOT/scripts/build.sh" i686
bash "$TALVEN_ROOT/scripts/build.sh" x86_64-checked
cd "$TALVEN_ROOT/.build/x86_64-checked"
# Wine checks its heap too; -all first keeps every other channel quiet.
export WINEDEBUG=-all,err+heap,warn+heap
ctest --output-on-failure -j2 "$@"
