#!/usr/bin/env bash
# Real pairs for delta_bench, without downloading anything:
#   - update.exe of this checkout against update.exe built from an older
#     commit (OLD_COMMIT, default HEAD~40) in a git worktree under /tmp;
#   - files of Debian packages that apt's cache holds in two versions: a
#     large shared library, a program and a static library, each a point
#     release.
# Usage: bench/delta_bench.sh [BUILD_DIR]   (default build/)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d /tmp/delta-bench.XXXXXX)
trap 'git worktree remove --force "$work/old" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
cmake --build "$build" --target delta_bench update >/dev/null

pairs=()
old_commit=${OLD_COMMIT:-HEAD~40}
git worktree add --detach "$work/old" "$old_commit" >/dev/null 2>&1
cmake -S "$work/old" -B "$work/old/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_TESTS=OFF \
  -DUPDATER_BENCH=OFF >/dev/null
cmake --build "$work/old/build" --target update -j2 >/dev/null
pairs+=("update.exe $(git rev-parse --short "$old_commit")..HEAD" "$work/old/build/bin/update.exe" "$build/bin/update.exe")

# Package, file inside it: the two oldest-to-newest versions in apt's cache.
debs=(
  "libmagickcore-6.q16-6 ./usr/lib/x86_64-linux-gnu/libMagickCore-6.Q16.so.6.0.0"
  "nginx ./usr/sbin/nginx"
  "libzstd-dev ./usr/lib/x86_64-linux-gnu/libzstd.a"
)
for entry in "${debs[@]}"; do
  read -r package file <<<"$entry"
  mapfile -t versions < <(ls /var/cache/apt/archives/"${package}"_*.deb 2>/dev/null | sort -V)
  if [ ${#versions[@]} -lt 2 ]; then
    echo "apt's cache has fewer than two versions of $package: skipped" >&2
    continue
  fi
  for i in 0 1; do
    mkdir -p "$work/$package.$i"
    dpkg-deb -x "${versions[$i]}" "$work/$package.$i"
  done
  v0=$(basename "${versions[0]}" | cut -d_ -f2); v1=$(basename "${versions[1]}" | cut -d_ -f2)
  pairs+=("$(basename "$file") $v0..$v1" "$work/$package.0/$file" "$work/$package.1/$file")
done
"$build/bin/delta_bench" "${pairs[@]}"
