#!/bin/sh
# Installs the Debian packages the build and the tests need, when missing.
# Idempotent; uses sudo when not root.  'install-deps.sh fuzz' also installs
# what the fuzzers need (clang and its libFuzzer), which nothing else does.
set -eu

PACKAGES="cmake make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  libncurses-dev llvm tmux g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 fonts-wine xvfb x11-apps
  imagemagick g++-mingw-w64-i686-posix clang libcli11-dev sigrok-cli gtkwave ccache
  lintian dpkg-dev fakeroot zip unzip help2man man-db bash-completion
  pulseview x11-utils"
FUZZ_PACKAGES="libclang-rt-dev"
[ "${1:-}" = fuzz ] && PACKAGES="$PACKAGES $FUZZ_PACKAGES"

# One query for all of them (each step of make test runs this); a package
# dpkg does not know is missing too.
installed=$(dpkg-query -W -f='${Package} ${Status}\n' $PACKAGES 2>/dev/null |
  sed -n 's/^\([^ ]*\) install ok installed$/\1/p' | tr '\n' ' ')
missing=""
for p in $PACKAGES; do
  case " $installed " in
  *" $p "*) ;;
  *) missing="$missing $p" ;;
  esac
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
$SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends $missing
