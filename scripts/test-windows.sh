#!/usr/bin/env bash
# The Windows leg of the tests: cross-builds everything for Windows x86-64
# into build-win/ and runs the test suite under Wine; build-win/dist/ and
# build-win/update-win64.zip are the deployable updater.
# The Qt/spdlog prefix comes from ../shared/toolchains/ (unpacked once into a
# cache folder outside the source tree) or, without that archive, is built
# once with its recipe. UPDATER_SHARED_DIR names another shared folder,
# UPDATER_WIN_CACHE another cache folder.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)

packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 xvfb xauth cmake ninja-build
          nginx-light zip fonts-wqy-microhei dpkg-dev curl)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cache=${UPDATER_WIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/updater-win64}
prefix=$cache/qt5.15.8-static
toolchains=${UPDATER_SHARED_DIR:-../shared}/toolchains
archive=$toolchains/win64-qt5.15.8-mingw-static.tar.xz
# The unpacked prefix is keyed by the archive's checksum (kept in .complete):
# a cache unpacked from an older archive is unpacked again, and swapped in by
# renames, so a build running meanwhile sees the old tree or the new one.
want=built-from-recipe
[ -f "$archive" ] && want=$(sha256sum "$archive" | cut -d' ' -f1)
have=$(cat "$prefix/.complete" 2>/dev/null || true)
if [ ! -e "$prefix/.complete" ] || { [ -f "$archive" ] && [ "$have" != "$want" ]; }; then
  rm -rf "$prefix.partial"
  mkdir -p "$prefix.partial"
  if [ -f "$archive" ]; then
    echo "== unpacking $archive into $prefix"
    tar -xJf "$archive" -C "$prefix.partial"
  elif [ -x "$toolchains/build-win64-toolchain.sh" ] || [ -f "$toolchains/build-win64-toolchain.sh" ]; then
    echo "== $archive is missing: building the Windows toolchain prefix once into $prefix"
    echo "== (Qt from source, about 20 minutes on 2 cores)"
    $SUDO bash "$toolchains/build-win64-toolchain.sh" "$prefix.partial" static "$cache/toolchain-work"
  else
    echo "neither $archive nor its recipe is there: cannot build for Windows" >&2
    exit 1
  fi
  echo "$want" > "$prefix.partial/.complete"
  retired=$prefix.retired.$$
  [ -e "$prefix" ] && mv "$prefix" "$retired"
  mv "$prefix.partial" "$prefix"
  rm -rf "$retired"
fi

# Qt's link interface names a few Windows import libraries in mixed case;
# mingw's files are lower case.
mixed=$cache/mingw-mixed-case
if [ ! -d "$mixed" ]; then
  mkdir -p "$mixed.partial/lib"
  for n in Secur32 Crypt32 Ncrypt Bcrypt Ws2_32 Iphlpapi Dnsapi Advapi32 Shell32 User32 Ole32 \
           Gdi32 Winmm Version Netapi32 Userenv Wtsapi32 Shlwapi Uxtheme Dwmapi Imm32 Oleaut32 \
           Uuid Comdlg32 Winspool Mpr Setupapi; do
    l=/usr/x86_64-w64-mingw32/lib/lib$(echo "$n" | tr A-Z a-z).a
    [ -e "$l" ] && ln -sf "$l" "$mixed.partial/lib/lib$n.a"
  done
  mv "$mixed.partial" "$mixed"
fi

# libdivsufsort (the publisher's suffix arrays) for Windows, built once from
# Debian's source package with its patches, statically, into a folder keyed
# by the pinned checksums and swapped in by rename like the Qt prefix.
dsf_base=http://deb.debian.org/debian/pool/main/libd/libdivsufsort
dsf_files=(
  "libdivsufsort_2.0.1-5.dsc 09fa26d9134e4400b793564e917d0908c187c4c588449ad0080bc94d9b350ae2"
  "libdivsufsort_2.0.1.orig.tar.bz2 55c02c86ea1763f581e0f50440008c554b8da2272129adee4ac84cb1362018bc"
  "libdivsufsort_2.0.1-5.debian.tar.xz ca94d3164295127b3763be7e35d9df28aa8fe25d6ee538677f2a9eb01301ac90"
)
dsf_key=$(printf '%s\n' "${dsf_files[@]}" | sha256sum | cut -c1-16)
divsufsort=$cache/divsufsort-$dsf_key
if [ ! -e "$divsufsort/.complete" ]; then
  echo "== building libdivsufsort for Windows into $divsufsort"
  dsf_work=$cache/divsufsort-work.$$
  rm -rf "$dsf_work" "$divsufsort.partial"
  mkdir -p "$dsf_work"
  for entry in "${dsf_files[@]}"; do
    read -r name sum <<<"$entry"
    curl -fsS -o "$dsf_work/$name" "$dsf_base/$name"
    if [ "$(sha256sum "$dsf_work/$name" | cut -d' ' -f1)" != "$sum" ]; then
      echo "$name does not have the pinned SHA-256: refused" >&2
      rm -rf "$dsf_work"
      exit 1
    fi
  done
  dpkg-source -x "$dsf_work/libdivsufsort_2.0.1-5.dsc" "$dsf_work/src" >/dev/null
  cmake -S "$dsf_work/src" -B "$dsf_work/build" -G Ninja -DCMAKE_SYSTEM_NAME=Windows \
    -DCMAKE_C_COMPILER=x86_64-w64-mingw32-gcc-posix -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
    -DBUILD_EXAMPLES=OFF -DCMAKE_INSTALL_PREFIX="$divsufsort.partial" >/dev/null
  cmake --build "$dsf_work/build" --target install >/dev/null
  echo "$dsf_key" > "$divsufsort.partial/.complete"
  retired=$divsufsort.retired.$$
  [ -e "$divsufsort" ] && mv "$divsufsort" "$retired"
  mv "$divsufsort.partial" "$divsufsort"
  rm -rf "$retired" "$dsf_work"
fi

# Under Wine the locale sets the ANSI code page: the tests run as on Chinese
# Windows (code page 936), the updater's audience, where the batch script's
# GBK and the log's narrow file name hold Chinese folder names.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN.utf8$'; then
  dpkg -s locales >/dev/null 2>&1 || DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq locales >/dev/null
  $SUDO localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
fi

export UPDATER_WINEPREFIX=$cache/wineprefix
if [ ! -e "$UPDATER_WINEPREFIX/system.reg" ]; then
  echo "== creating the Wine prefix $UPDATER_WINEPREFIX"
  WINEPREFIX=$UPDATER_WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine64 wineboot --init
  WINEPREFIX=$UPDATER_WINEPREFIX /usr/lib/wine/wineserver -w
fi
# Chinese Windows draws its dialogs in a CJK sans-serif font; Wine has none,
# and picks some thin font for the dialog font instead. WenQuanYi Micro Hei
# from Linux stands in for SimSun and the dialog font.
if [ ! -e "$UPDATER_WINEPREFIX/.cjk-font" ]; then
  for font in SimSun "MS Shell Dlg 2"; do
    WINEPREFIX=$UPDATER_WINEPREFIX WINEDEBUG=-all /usr/lib/wine/wine64 reg add \
      'HKCU\Software\Wine\Fonts\Replacements' /v "$font" /t REG_SZ /d "WenQuanYi Micro Hei" /f >/dev/null
  done
  WINEPREFIX=$UPDATER_WINEPREFIX /usr/lib/wine/wineserver -w
  touch "$UPDATER_WINEPREFIX/.cjk-font"
fi

cmake -S . -B build-win -G Ninja --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DUPDATER_WIN_PREFIX="$prefix;$mixed;$divsufsort" -DUPDATER_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-win
cmake --build build-win --target dist
echo "== Windows build took $(( $(date +%s) - started )) s"

# The shipped programs import only Windows' own DLLs (each one is in Wine's
# system32): no Qt, C++ runtime or threads DLL that a host may ship too.
# Names compared in lower case, as Windows does (and without a grep -q that
# could end ls with SIGPIPE under pipefail).
system32=$(ls "$UPDATER_WINEPREFIX/drive_c/windows/system32" | tr '[:upper:]' '[:lower:]')
for exe in build-win/dist/*.exe; do
  for dll in $(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p'); do
    if ! grep -xF "$(echo "$dll" | tr '[:upper:]' '[:lower:]')" <<<"$system32" >/dev/null; then
      echo "$exe imports $dll, which Windows does not provide" >&2
      exit 1
    fi
  done
done

(cd build-win && LANG=zh_CN.UTF-8 LC_ALL= xvfb-run -a ctest --output-on-failure -j2)
WINEPREFIX=$UPDATER_WINEPREFIX /usr/lib/wine/wineserver -k || true
echo "== Windows leg took $(( $(date +%s) - started )) s"
