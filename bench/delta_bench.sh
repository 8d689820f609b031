#!/usr/bin/env bash
# Real pairs for delta_bench, without downloading anything (zstd and
# bsdiff, when installed, are measured on the same pairs):
#   - update.exe of this checkout against update.exe built from an older
#     commit (OLD_COMMIT, default HEAD~40) in a git worktree under /tmp,
#     both stripped as shipped;
#   - files of Debian packages that apt's cache holds in two versions: a
#     large shared library, a program and a static library, each a point
#     release.
# Usage: bench/delta_bench.sh [BUILD_DIR]   (default build/)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d /tmp/delta-bench.XXXXXX)
# The older checkout always at the same place, so ccache serves a second run.
old=/tmp/delta-bench-old
trap 'git worktree remove --force "$old" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
cmake --build "$build" --target delta_bench update >/dev/null

pairs=()
old_commit=$(git rev-parse --short "${OLD_COMMIT:-HEAD~40}")
git worktree remove --force "$old" >/dev/null 2>&1 || rm -rf "$old"
git worktree add --detach "$old" "$old_commit" >/dev/null 2>&1
cmake -S "$old" -B "$old/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_TESTS=OFF \
  -DUPDATER_BENCH=OFF >/dev/null
cmake --build "$old/build" --target update -j2 >/dev/null
# As shipped: without debug information.
strip -o "$work/update.old.exe" "$old/build/bin/update.exe"
strip -o "$work/update.new.exe" "$build/bin/update.exe"
pairs+=("update.exe $old_commit..$(git rev-parse --short HEAD)" "$work/update.old.exe" "$work/update.new.exe")

# Package, file inside it: the two oldest-to-newest versions in apt's cache.
debs=(
  "libmagickcore-6.q16-6 ./usr/lib/x86_64-linux-gnu/libMagickCore-6.Q16.so.6.0.0"
  "nginx ./usr/sbin/nginx"
  "libzstd-dev ./usr/lib/x86_64-linux-gnu/libzstd.a"
)
for entry in "${debs[@]}"; do
  read -r package file <<<"$entry"
  # The oldest and the newest, in Debian's version order.
  lowest=""; highest=""
  for deb in /var/cache/apt/archives/"${package}"_*.deb; do
    [ -f "$deb" ] || continue
    v=$(dpkg-deb -f "$deb" Version)
    if [ -z "$lowest" ] || dpkg --compare-versions "$v" lt "$(dpkg-deb -f "$lowest" Version)"; then lowest=$deb; fi
    if [ -z "$highest" ] || dpkg --compare-versions "$v" gt "$(dpkg-deb -f "$highest" Version)"; then highest=$deb; fi
  done
  if [ -z "$lowest" ] || [ "$lowest" = "$highest" ]; then
    echo "apt's cache has fewer than two versions of $package: skipped" >&2
    continue
  fi
  versions=("$lowest" "$highest")
  for i in 0 1; do
    mkdir -p "$work/$package.$i"
    dpkg-deb -x "${versions[$i]}" "$work/$package.$i"
  done
  v0=$(dpkg-deb -f "$lowest" Version); v1=$(dpkg-deb -f "$highest" Version)
  pairs+=("$(basename "$file") $v0..$v1" "$work/$package.0/$file" "$work/$package.1/$file")
done
"$build/bin/delta_bench" "${pairs[@]}"
