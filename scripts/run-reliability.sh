#!/usr/bin/env bash
# Builds the x86_64 robustness suites (every robustness_*Test target, from tests/robustness/)
# and runs each under Wine in its long mode, printing each suite's summary lines; the whole
# output of each suite is kept in .build/x86_64/reliability/<suite>.log.
# Usage: run-reliability.sh [suite...]   (default: all of them; e.g. run-reliability.sh
# robustness_ScaleTest). The long-mode sizes may be overridden from the environment:
# TALVEN_ROBUSTNESS_CASES (cases per harness: 100000 for paths and SQL, 500000 for language
# files, 5000000 for patterns and date-times, which cost microseconds each),
# TALVEN_STRESS_SECONDS (60), TALVEN_SCALE_FILES (100000).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
trap talven_stop_wine EXIT

cases="${TALVEN_ROBUSTNESS_CASES:-}"
export TALVEN_STRESS_SECONDS="${TALVEN_STRESS_SECONDS:-60}"
export TALVEN_SCALE_FILES="${TALVEN_SCALE_FILES:-100000}"

dir="$TALVEN_ROOT/.build/x86_64"
# Configures when needed and builds the library, which also refreshes the globbed test list.
bash "$TALVEN_ROOT/scripts/build.sh" x86_64 talven

if [ $# -gt 0 ]; then
    suites=("$@")
else
    mapfile -t suites < <(ninja -C "$dir" -t targets all |
        sed -n 's/^\(robustness_[A-Za-z0-9_]*Test\): phony$/\1/p' | sort)
fi
if [ ${#suites[@]} -eq 0 ]; then
    echo "no robustness suites found" >&2
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
echo "long mode: TALVEN_ROBUSTNESS_CASES=${cases:-per harness}" \
    "TALVEN_STRESS_SECONDS=$TALVEN_STRESS_SECONDS TALVEN_SCALE_FILES=$TALVEN_SCALE_FILES"
failed=()
for suite in "${suites[@]}"; do
    case "$suite" in
    robustness_PatternFuzzTest | robustness_DateTimeFuzzTest) default=5000000 ;;
    robustness_LanguageFuzzTest) default=500000 ;;
    *) default=100000 ;;
    esac
    export TALVEN_ROBUSTNESS_CASES="${cases:-$default}"
    echo
    echo "=== $suite"
    log="$logs/$suite.log"
    start=$SECONDS
    status=0
    "$TALVEN_ROOT/scripts/wine-run.sh" "$WINEPREFIX" "$dir/bin/$suite.exe" --gtest_brief=1 \
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
echo "all ${#suites[@]} robustness suites passed"
