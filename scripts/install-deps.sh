#!/bin/sh
# Installs the Debian packages the build and the tests need, when missing.
# Idempotent; uses sudo when not root.  'install-deps.sh fuzz' also installs
# what the fuzzers need (clang and its libFuzzer), which nothing else does.
set -eu

PACKAGES="cmake make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  libncurses-dev llvm tmux g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 fonts-wine xvfb x11-apps
  imagemagick g++-mingw-w64-i686-posix clang libcli11-dev sigrok-cli gtkwave ccache"
FUZZ_PACKAGES="libclang-rt-dev"
[ "${1:-}" = fuzz ] && PACKAGES="$PACKAGES $FUZZ_PACKAGES"

missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
$SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends $missing
