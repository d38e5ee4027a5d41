#!/bin/sh
# Makes sure the Debian packages a build needs are present: installs the
# missing ones when run as root, otherwise names them and stops.
#   ensure-deps.sh native     compilers, CMake, Ninja, GoogleTest, Benchmark
#   ensure-deps.sh windows    mingw-w64 cross compilers and Wine for both architectures
#   ensure-deps.sh hardening  clang with libFuzzer and the sanitizer runtimes, valgrind, libcups for the raster fuzz target
#   ensure-deps.sh cups       CUPS (daemon, clients, filters, ppdc, headers), poppler-utils,
#                             PAPPL for the printer application
#   ensure-deps.sh test       what the suites drive besides: ipptool, headless Chromium
#   ensure-deps.sh deb        Debian packaging tools and what the packages build from
set -eu

need_native="g++ cmake ninja-build googletest libgtest-dev libgmock-dev libbenchmark-dev binutils libstb-dev libpng-dev"
need_windows="cmake ninja-build googletest libstb-dev zip g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 wine32:i386"

need_hardening="clang libclang-rt-14-dev valgrind libcups2-dev libcupsimage2-dev"
need_cups="cups cups-client cups-filters cups-ppdc libcups2-dev libcupsimage2-dev poppler-utils python3 libpappl-dev libsystemd-dev"
need_test="cups-ipp-utils chromium"
need_deb="debhelper dpkg-dev fakeroot lintian git g++ cmake ninja-build pkg-config cups-ppdc libcups2-dev libcupsimage2-dev libpappl-dev libsystemd-dev"

case "${1:-native}" in
    native) need=$need_native ;;
    windows) need=$need_windows ;;
    hardening) need=$need_hardening ;;
    cups) need=$need_cups ;;
    test) need=$need_test ;;
    deb) need=$need_deb ;;
    *) echo "ensure-deps: unknown set '$1'" >&2; exit 2 ;;
esac

missing=""
for pkg in $need; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    case "$status" in
        *"install ok installed"*) ;;
        *) missing="$missing $pkg" ;;
    esac
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "ensure-deps: missing Debian packages:$missing" >&2
    echo "ensure-deps: install them with: sudo apt-get install$missing" >&2
    exit 1
fi
echo "ensure-deps: installing$missing" >&2
export DEBIAN_FRONTEND=noninteractive
case "$missing" in
    *:i386*) dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 ;;
esac
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null
