#!/usr/bin/env bash
# Builds a static Qt 5.15 (QtCore, QtTest, QtSerialPort) for 64-bit Windows with the
# MinGW-w64 cross compilers, from the sources in SOURCES_DIR:
#   qtbase-opensource-src_<version>.dsc with its .orig and .debian tarballs
#   qtserialport-<version>.tar.gz
# The result goes to a cache folder outside the work tree, named after the sources'
# checksums and the build options, and is reused when it is already there. The last
# line printed is the Qt prefix, for cmake/mingw-w64.cmake's KMZ_QT_PREFIX.
#
#   scripts/windows/build-qt.sh [SOURCES_DIR]    (default: ../shared/vendor)
#   KMZ_QT_CACHE=<dir>                            (default: ~/.cache/kmztools)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
sources="${1:-$root/../shared/vendor}"
if [ ! -d "$sources" ]; then
  echo "build-qt: no folder $sources: name the folder that holds Qt's sources" >&2
  exit 2
fi
sources="$(cd "$sources" && pwd)"
cache="${KMZ_QT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kmztools}"

shopt -s nullglob
dscs=("$sources"/qtbase-opensource-src_*.dsc)
serialports=("$sources"/qtserialport-*.tar.gz)
shopt -u nullglob
if [ "${#dscs[@]}" -ne 1 ] || [ "${#serialports[@]}" -ne 1 ]; then
  echo "build-qt: $sources must hold one qtbase-opensource-src_*.dsc and one qtserialport-*.tar.gz" >&2
  exit 2
fi
dsc="${dscs[0]}"
serialport="${serialports[0]}"

"$root/scripts/setup.sh" g++-mingw-w64-x86-64-posix dpkg-dev perl python3 make xz-utils
if [ -f "$sources/SHA256SUMS" ]; then
  (cd "$sources" && sha256sum --quiet -c SHA256SUMS) || { echo "build-qt: the sources in $sources do not match their SHA256SUMS" >&2; exit 1; }
fi

# How Qt is built. A change here that changes what is built must change the
# recipe number too, so that the cache is not reused.
recipe=1
configure_options=(-xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32-
  -static -static-runtime -release -opensource -confirm-license
  -nomake examples -nomake tests -no-gui -no-widgets -no-opengl -no-dbus -no-icu
  -no-openssl -no-feature-sql -qt-zlib -qt-pcre -qt-doubleconversion)

# The cache key covers every source file the build reads and the way it is built.
key="$( (cd "$sources" && sha256sum qtbase-opensource-src_* "$(basename "$serialport")"
         echo "recipe $recipe ${configure_options[*]}") | sha256sum | cut -c1-16)"
version="$(sed -n 's/^Version: \([0-9.]*\).*/\1/p' "$dsc")"
prefix="$cache/qt-$version-win64-static-$key"
if [ -f "$prefix/.complete" ]; then
  echo "build-qt: using $prefix" >&2
  echo "$prefix"
  exit 0
fi

mkdir -p "$cache"
# One build at a time in the cache: a second run waits, then finds the first's Qt.
exec 9>"$cache/.lock"
if ! flock -n 9; then
  echo "build-qt: another build holds $cache; waiting for it" >&2
  flock 9
fi
if [ -f "$prefix/.complete" ]; then
  echo "build-qt: using $prefix" >&2
  echo "$prefix"
  exit 0
fi
# A failed build's folder is kept for a look until the next build starts.
rm -rf "$cache"/.build.*
work="$(mktemp -d "$cache/.build.XXXXXX")"
trap 'exit 130' INT TERM HUP
jobs="$(($(nproc) + 1))"
started=$SECONDS
log="$work/build.log"
step() { echo "build-qt: $* ($((SECONDS - started)) s)" >&2; }
# Long logs are shown only when a step fails.
run() {
  if ! "$@" >>"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "build-qt: failed: $* (the whole log: $log)" >&2
    exit 1
  fi
}

# Qt's configure and qmake call x86_64-w64-mingw32-gcc/g++; the -posix thread model
# is the one that has what QtCore needs, so those names lead to it whatever the
# system's alternatives say.
mkdir "$work/bin"
for tool in gcc g++; do
  ln -s "$(command -v "x86_64-w64-mingw32-$tool-posix")" "$work/bin/x86_64-w64-mingw32-$tool"
done
export PATH="$work/bin:$PATH"

step "unpacking $(basename "$dsc")"
run dpkg-source --no-copy -x "$dsc" "$work/qtbase"
mkdir "$work/qtbase-build"
# Qt is configured for its final place, which a failed build leaves without its
# .complete mark; the next run starts it afresh.
rm -rf "$prefix"
stage="$prefix"

step "configuring qtbase"
(cd "$work/qtbase-build" && run "$work/qtbase/configure" -prefix "$stage" "${configure_options[@]}")

step "building QtCore, QtTest and the host tools"
run make -C "$work/qtbase-build" sub-src-qmake_all
run make -C "$work/qtbase-build/src" -j"$jobs" sub-corelib sub-testlib sub-winmain
step "installing qtbase"
run make -C "$work/qtbase-build" sub-qmake-qmake-aux-pro-install_subtargets install_mkspecs install_syncqt
run make -C "$work/qtbase-build/src" sub-corelib-install_subtargets sub-testlib-install_subtargets \
  sub-winmain-install_subtargets sub-moc-install_subtargets sub-rcc-install_subtargets \
  sub-qlalr-install_subtargets sub-tracegen-install_subtargets sub-3rdparty-pcre2-install_subtargets \
  sub-zlib-install_subtargets

step "building QtSerialPort"
mkdir "$work/serialport"
run tar -C "$work/serialport" --strip-components=1 -xzf "$serialport"
# qmake generates the module's headers (syncqt) only in a git checkout.
mkdir "$work/serialport/.git"
(cd "$work/serialport" && run "$stage/bin/qmake" && run make -j"$jobs" sub-src && run make -C src install)

touch "$stage/.complete"
rm -rf "$work"
step "done"
echo "$prefix"
