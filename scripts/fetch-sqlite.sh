#!/usr/bin/env bash
# Fetches the SQLite3 Multiple Ciphers amalgamation (SQLite with sqlite3_key) into
# third_party/sqlite3mc/: npm pack of a pinned package, sha256 check, and only the three
# amalgamation files extracted. Idempotent: a complete earlier fetch is reused untouched.
# Runs unattended (CI: root, no stdin).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dest="$root/third_party/sqlite3mc"
package="better-sqlite3-multiple-ciphers"
version="12.11.1"
sha256="01388c78f46ce63c6aec021f67b364cc67bd637edba64f7add0c0230ce5f777a"
tarball="$package-$version.tgz"
files=(sqlite3.c sqlite3.h sqlite3ext.h)

log() { echo "[fetch-sqlite] $*" >&2; }

# The stamp names the verified tarball, so a change of the pin fetches again.
stamp="$dest/.fetched-$version-$sha256"
complete=1
for f in "${files[@]}"; do
    [ -s "$dest/$f" ] || complete=0
done
if [ "$complete" -eq 1 ] && [ -f "$stamp" ]; then
    exit 0
fi

mkdir -p "$dest"
# A tarball kept from an earlier run is reused when its checksum still matches.
if [ -f "$dest/$tarball" ] && ! echo "$sha256  $dest/$tarball" | sha256sum -c --status; then
    log "discarding a kept $tarball with a wrong checksum"
    rm -f "$dest/$tarball"
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

if [ ! -f "$dest/$tarball" ]; then
    log "fetching $package@$version"
    # npm pack only downloads the tarball: no install scripts, no build.
    (cd "$work" && npm pack "$package@$version" --silent --ignore-scripts \
        --cache "$work/npm-cache" </dev/null >/dev/null)
    if ! echo "$sha256  $work/$tarball" | sha256sum -c --status; then
        log "checksum mismatch for $tarball: expected $sha256, got $(sha256sum "$work/$tarball" | cut -d' ' -f1)"
        exit 1
    fi
    mv "$work/$tarball" "$dest/$tarball.part"
    mv "$dest/$tarball.part" "$dest/$tarball"
fi

log "extracting the amalgamation"
members=()
for f in "${files[@]}"; do
    members+=("package/deps/sqlite3/$f")
done
tar -xzf "$dest/$tarball" -C "$work" --no-same-owner -m "${members[@]}"
for f in "${files[@]}"; do
    # An unchanged file keeps its time stamp, so builds do not compile it again.
    if ! cmp -s "$work/package/deps/sqlite3/$f" "$dest/$f"; then
        mv "$work/package/deps/sqlite3/$f" "$dest/$f"
    fi
done
rm -f "$dest"/.fetched-*
touch "$stamp"
log "ready in $dest"
