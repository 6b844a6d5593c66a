#!/bin/sh
# Checks the export tables of the Windows binaries: kestrin.dll exports
# exactly its three functions, every applet (.cpl) exactly CPlApplet, by
# name, undecorated.
set -eu
dir=$1
passed=0
failed=0

exports_of() {
  x86_64-w64-mingw32-objdump -p "$1" |
    awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^\t\[/{print $NF} t&&/^$/{t=0}' | sort | tr '\n' ' '
}

check() {
  exports=$(exports_of "$dir/$1")
  if [ "$exports" = "$2" ]; then
    echo "$1 exports: $exports"
    passed=$((passed + 1))
  else
    echo "$1 exports '$exports', expected '$2'" >&2
    failed=$((failed + 1))
  fi
}

check kestrin.dll "gpio_getPin gpio_gwesPowerOffSystem gpio_setPin "
for cpl in "$dir"/*.cpl; do
  [ -e "$cpl" ] || continue
  check "$(basename "$cpl")" "CPlApplet "
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
