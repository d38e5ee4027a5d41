#!/bin/sh
# Makes sure the Debian packages a build needs are present: installs the
# missing ones when run as root, otherwise names them and stops.
#   ensure-deps.sh native     compilers, CMake, Ninja, GoogleTest, Benchmark, the document renderers' libraries
#                             and font
#   ensure-deps.sh windows    mingw-w64 cross compilers and Wine for both architectures
#   ensure-deps.sh hardening  clang with libFuzzer and the sanitizer runtimes, valgrind, libcups for the raster fuzz target
#   ensure-deps.sh cups       CUPS (daemon, clients, filters, ppdc, headers), poppler-utils,
#                             PAPPL's build dependencies for the printer application
#   ensure-deps.sh test       what the suites drive besides: ipptool, headless Chromium, a CJK font
#   ensure-deps.sh deb        Debian packaging tools and what the packages build from
set -eu

need_native="g++ cmake ninja-build googletest libgtest-dev libgmock-dev libbenchmark-dev binutils libstb-dev libpng-dev
  pkg-config libpoppler-private-dev libfreetype-dev libharfbuzz-dev libfontconfig-dev fonts-dejavu-core"
need_windows="cmake ninja-build googletest libstb-dev zip g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 wine32:i386"

need_hardening="clang libclang-rt-14-dev valgrind libcups2-dev libcupsimage2-dev"
# PAPPL's own build dependencies: the app links PAPPL built from third_party/pappl.
need_pappl="gcc patch pkg-config libavahi-client-dev libgnutls28-dev libjpeg-dev libpam0g-dev libpng-dev libusb-1.0-0-dev zlib1g-dev"
need_cups="cups cups-client cups-filters cups-ppdc libcups2-dev libcupsimage2-dev poppler-utils python3 $need_pappl libsystemd-dev"
need_test="cups-ipp-utils chromium fonts-wqy-microhei systemd ghostscript"
need_deb="debhelper dpkg-dev fakeroot lintian git g++ cmake ninja-build cups-ppdc libcups2-dev libcupsimage2-dev $need_pappl libsystemd-dev
  libpoppler-private-dev libfreetype-dev libharfbuzz-dev libfontconfig-dev fonts-dejavu-core"

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
