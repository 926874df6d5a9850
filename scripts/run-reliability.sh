#!/usr/bin/env bash
# The long run: builds the x86_64 suites that hold long-run work and runs them under Wine with
# TALVEN_LONG_RUN=1: every suite of tests/robustness/ whole, and the generated tests
# (ForEachGeneratedCase, tests/common/Generator.h) of the other suites, each with its long case
# count. Prints each suite's summary lines; the whole output of each suite is kept in
# .build/x86_64/reliability/<suite>.log.
# Usage: run-reliability.sh [suite...]   (default: all of them; e.g. run-reliability.sh
# robustness_StressTest). Sizes may be overridden from the environment:
# TALVEN_ROBUSTNESS_CASES (cases per generated test), TALVEN_STRESS_SECONDS (60),
# TALVEN_SCALE_FILES (100000).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
trap talven_stop_wine EXIT

export TALVEN_LONG_RUN=1
export TALVEN_STRESS_SECONDS="${TALVEN_STRESS_SECONDS:-60}"
export TALVEN_SCALE_FILES="${TALVEN_SCALE_FILES:-100000}"

dir="$TALVEN_ROOT/.build/x86_64"
# Configures when needed and builds the library, which also refreshes the globbed test list.
bash "$TALVEN_ROOT/scripts/build.sh" x86_64 talven

# Suites named like their file under tests/: every robustness suite, and every other suite with
# generated tests.
suite_of() { local f="${1#"$TALVEN_ROOT"/tests/}"; f="${f%.cpp}"; echo "${f//\//_}"; }
if [ $# -gt 0 ]; then
    suites=("$@")
else
    suites=()
    while IFS= read -r file; do
        suites+=("$(suite_of "$file")")
    done < <({ ls "$TALVEN_ROOT"/tests/robustness/*Test.cpp
               grep -rl --include='*Test.cpp' ForEachGeneratedCase "$TALVEN_ROOT/tests"; } | sort -u)
fi
if [ ${#suites[@]} -eq 0 ]; then
    echo "no long-run suites found" >&2
    exit 1
fi
bash "$TALVEN_ROOT/scripts/build.sh" x86_64 "${suites[@]}"

# The Linux-side fixtures that CTest would run first (the drive fixtures ran in setup.sh).
for script in "$TALVEN_ROOT"/tests/fixtures/*.sh; do
    case "$(basename "$script")" in
    setup-drives.sh | util-tmpfs-drive.sh) ;;
    *) bash "$script" "$WINEPREFIX" ;;
    esac
done

logs="$dir/reliability"
mkdir -p "$logs"
echo "long run: TALVEN_ROBUSTNESS_CASES=${TALVEN_ROBUSTNESS_CASES:-per test}" \
    "TALVEN_STRESS_SECONDS=$TALVEN_STRESS_SECONDS TALVEN_SCALE_FILES=$TALVEN_SCALE_FILES"
failed=()
for suite in "${suites[@]}"; do
    filter=()
    case "$suite" in
    robustness_*) ;;
    *) filter=(--gtest_filter='*.Generated*') ;;
    esac
    echo
    echo "=== $suite"
    log="$logs/$suite.log"
    start=$SECONDS
    status=0
    "$TALVEN_ROOT/scripts/wine-run.sh" "$WINEPREFIX" "$dir/bin/$suite.exe" --gtest_brief=1 "${filter[@]}" \
        >"$log" 2>&1 || status=$?
    # Brief mode leaves the suite's own summary lines, failures and gtest's closing lines.
    grep -v '^\[ *\(PASSED\|RUN\|OK\) *\]' "$log" || true
    echo "--- $suite: $([ $status -eq 0 ] && echo passed || echo "FAILED ($status)")" \
        "in $((SECONDS - start)) s (log: $log)"
    [ $status -eq 0 ] || failed+=("$suite")
done
echo
if [ ${#failed[@]} -gt 0 ]; then
    echo "failed: ${failed[*]}" >&2
    exit 1
fi
echo "all ${#suites[@]} long-run suites passed"
