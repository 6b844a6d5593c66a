#!/bin/bash
# Compiles the product's sources as the board's build folders name them
# (ce/*/sources: SOURCES, INCLUDES, CDEFINES), at the board's word size,
# in two configurations (compile only: 32-bit programs do not run here):
#
#   mingw32  i686 mingw-w64 g++, gnu++98, -Wall -Wextra -Werror, -Os: the
#            desktop branch of platform/platform.h and its helpers, with
#            the records at 32 bits;
#   board    clang in Microsoft mode (-fms-extensions -fms-compatibility,
#            i686-pc-windows-msvc) with UNDER_CE: the board's branch of
#            platform/platform.h and the compiler's own __try, against the
#            desktop headers with platform/ce-check/include in front (what
#            the board's headers declare otherwise or in addition).
#
# Then it puts faults into a copy of the tree (records of other sizes, a
# volatile flag, a DllMain declared otherwise), one at a time, and checks that the
# compile of the file they touch fails for that reason.
# Prints "N passed, M failed"; exit 1 on any failure.
set -u

usage() {
    cat <<'EOF'
usage: scripts/check-board-build.sh [--root DIR] [--no-faults]

  --root DIR    the repository to compile (default: the one holding this script)
  --no-faults   skip the checks that faults put into a copy are caught
EOF
}

root=$(cd "$(dirname "$0")/.." && pwd)
faults=1
while [ $# -gt 0 ]; do
    case $1 in
    --root)
        [ $# -ge 2 ] || { echo "check-board-build: --root wants a folder" >&2; exit 2; }
        root=$(cd "$2" 2>/dev/null && pwd) || { echo "check-board-build: $2: no such folder" >&2; exit 2; }
        shift 2 ;;
    --no-faults) faults=0; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "check-board-build: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
    esac
done
[ -d "$root/ce" ] || { echo "check-board-build: $root has no ce/ build folders" >&2; exit 2; }

. "$(dirname "$0")/checks.sh"

first_program() {
    local p
    for p in "$@"; do
        command -v "$p" >/dev/null 2>&1 && { echo "$p"; return 0; }
    done
    return 1
}
GXX32=${GXX32:-$(first_program i686-w64-mingw32-g++-posix i686-w64-mingw32-g++-win32 i686-w64-mingw32-g++)}
CLANGXX=${CLANGXX:-$(first_program clang++)}
MINGW_INCLUDE=${MINGW_INCLUDE:-/usr/share/mingw-w64/include}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# compile CONFIG ROOT SOURCES_FILE SOURCE: compiles one source of a build
# folder (a path as its sources file writes it) with the folder's include
# path and defines; the compiler's messages go to $tmp/log.
compile() {
    local config=$1 top=$2 sources=$3 src=$4 dir inc flags
    dir=$(dirname "$sources")
    flags=()
    for inc in $(macro "$sources" INCLUDES | tr ';' '\n'); do
        flags+=("-I$dir/$inc")
    done
    flags+=($(macro "$sources" CDEFINES | grep '^-D'))
    case $config in
    mingw32)
        "$GXX32" -std=gnu++98 -Wall -Wextra -Werror -Os -fno-exceptions -fno-rtti \
            -DWIN32_LEAN_AND_MEAN "${flags[@]}" -c "$dir/$src" -o "$tmp/out.o" >"$tmp/log" 2>&1 ;;
    board)
        "$CLANGXX" -target i686-pc-windows-msvc -fms-extensions -fms-compatibility -std=c++98 \
            -Wall -Wextra -Werror -fsyntax-only -DUNDER_CE -D_WIN32_WCE=0x600 -DWIN32_LEAN_AND_MEAN \
            -include "$top/platform/ce-check/prelude.h" -I"$top/platform/ce-check/include" \
            "${flags[@]}" -isystem "$MINGW_INCLUDE" "$dir/$src" >"$tmp/log" 2>&1 ;;
    esac
}

# compiles CONFIG SOURCES_FILE SOURCE: the source compiles cleanly.
compiles() {
    compile "$1" "$root" "$2" "$3" && return 0
    sed 's/^/  /' "$tmp/log" | head -n 40
    return 1
}

# The C++ sources of one build folder, as its sources file names them.
cpp_sources() {
    macro "$1" SOURCES | grep '\.cpp$'
}

# missing WHAT: a check that cannot run counts as failed.
missing() {
    echo "FAIL $1"
    failed=$((failed + 1))
}
[ -n "$GXX32" ] && command -v "$GXX32" >/dev/null || missing "no i686 mingw-w64 g++ (Debian g++-mingw-w64-i686-posix)"
[ -n "$CLANGXX" ] && command -v "$CLANGXX" >/dev/null || missing "no clang++ (Debian clang)"
[ -f "$MINGW_INCLUDE/windows.h" ] || missing "no mingw-w64 headers in $MINGW_INCLUDE"
shopt -s nullglob
all_sources=("$root"/ce/*/sources)
[ ${#all_sources[@]} -gt 0 ] || missing "no build folders (ce/*/sources) in $root"
if [ "$failed" -gt 0 ]; then
    echo "$passed passed, $failed failed"
    exit 1
fi

for sources in "${all_sources[@]}"; do
    folder=$(basename "$(dirname "$sources")")
    for src in $(cpp_sources "$sources"); do
        for config in mingw32 board; do
            expect "$config: ce/$folder ${src#../../}" compiles $config "$sources" "$src"
        done
    done
done
# The desktop's structured-handler helpers, built into every desktop binary.
expect "mingw32: platform/win32/guard.cpp" compiles mingw32 "$root/ce/kestrin/sources" \
    ../../platform/win32/guard.cpp

# caught CONFIG FOLDER SOURCE PATTERN: in the faulty copy, the compile of
# SOURCE (from build folder FOLDER) fails, with PATTERN in its messages.
caught() {
    if compile "$1" "$tmp/copy" "$tmp/copy/ce/$2/sources" "$3"; then
        echo "  compiled although faulty"
        return 1
    fi
    grep -q -- "$4" "$tmp/log" && return 0
    echo "  failed, but not on $4:"
    sed 's/^/  /' "$tmp/log" | head -n 20
    return 1
}

# fault NAME FILE SED_SCRIPT CONFIG FOLDER SOURCE PATTERN: a fresh copy of
# the tree with one edit in FILE, which must change it; the check catches it.
fault() {
    local name=$1 file=$2 edit=$3
    shift 3
    rm -rf "$tmp/copy"
    mkdir -p "$tmp/copy"
    cp -R "$root/ce" "$root/platform" "$root/gpio" "$root/applets" "$root/usbsetup" "$tmp/copy/"
    sed -i "$edit" "$tmp/copy/$file"
    if cmp -s "$root/$file" "$tmp/copy/$file"; then
        echo "FAIL fault not put in (nothing in $file matched): $name"
        failed=$((failed + 1))
        return
    fi
    expect "fault caught: $name" caught "$@"
}

if [ $faults = 1 ]; then
    fault "the board's RASENTRY one field longer (board)" platform/ras_entry.h \
        's/^\( *\)DWORD dwCustomAuthKey;/&\n\1DWORD dwExtra;/' \
        board velmorra ../../usbsetup/Velmorra.cpp RASENTRYHasTheBoardsSize
    fault "PwmRequest one field longer (mingw32)" gpio/gpio_ioctl.h \
        's/^\( *\)DWORD pcr;/&\n\1DWORD extra;/' \
        mingw32 hemlark ../../applets/hemlark/hemlark.cpp PwmRequestIs20Bytes
    fault "NEWCPLINFO taken at its 64-bit size, 472 (mingw32)" applets/frame/frame.cpp \
        's/PLATFORM_RECORD_SIZE(NEWCPLINFO, 468)/PLATFORM_RECORD_SIZE(NEWCPLINFO, 472)/' \
        mingw32 pinvane ../../applets/frame/frame.cpp NEWCPLINFOHasTheBoardsSize
    fault "a volatile flag handed to the interlocked calls (board)" applets/pinvane/pinvane.cpp \
        's/^static LONG g_running;/static LONG volatile g_running;/' \
        board pinvane ../../applets/pinvane/pinvane.cpp BoardInterlocked
    fault "a DllMain declared otherwise (mingw32)" gpio/kestrin.cpp \
        's/^BOOL WINAPI DllMain(HANDLE instance/BOOL WINAPI DllMain(HINSTANCE instance/' \
        mingw32 kestrin ../../gpio/kestrin.cpp DllMain
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
