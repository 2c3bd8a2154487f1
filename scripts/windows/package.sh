#!/usr/bin/env bash
# Cross-builds kmzflash.exe and kbdprobe.exe for 64-bit Windows and leaves
# dist/kmztools-<version>-win64.zip. Qt comes from build-qt.sh's cache, built from
# SOURCES_DIR (default ../shared/vendor) the first time.
#
#   scripts/windows/package.sh [SOURCES_DIR]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
"$root/scripts/setup.sh" g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 zip unzip
qt="$("$root/scripts/windows/build-qt.sh" "$@" | tail -n 1)"

build="$root/build-win64"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DKMZ_QT_PREFIX="$qt" -DCMAKE_BUILD_TYPE=Release -DKMZ_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
programs=("$build/kmzflash/kmzflash.exe" "$build/kbdprobe/kbdprobe.exe")

# The programs must run on a bare Windows: they may import Windows' own DLLs and
# nothing else (no Qt, no MinGW runtime).
system_dlls=' advapi32.dll bcrypt.dll kernel32.dll mpr.dll msvcrt.dll netapi32.dll ole32.dll oleaut32.dll setupapi.dll shell32.dll user32.dll userenv.dll version.dll winmm.dll ws2_32.dll '
for program in "${programs[@]}"; do
  while read -r dll; do
    case "$system_dlls" in
      *" ${dll,,} "*) ;;
      *) echo "package: $(basename "$program") imports $dll, which Windows does not have" >&2; exit 1 ;;
    esac
  done < <(x86_64-w64-mingw32-objdump -p "$program" | sed -n 's/^\s*DLL Name: //p')
done

# The version CMake read from debian/changelog.
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
name="kmztools-$version-win64"
stage="$(mktemp -d "${TMPDIR:-/tmp}/kmzwin.XXXXXX")"
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/$name"
for program in "${programs[@]}"; do
  x86_64-w64-mingw32-strip -o "$stage/$name/$(basename "$program")" "$program"
done
# Notepad and the console both take CRLF.
sed 's/$/\r/' "$root/scripts/windows/README.txt" > "$stage/$name/README.txt"
mkdir -p "$root/dist"
rm -f "$root/dist/$name.zip"
(cd "$stage" && zip -q -X -r "$root/dist/$name.zip" "$name")
unzip -l "$root/dist/$name.zip"
