#!/bin/sh
# Checks the export table of the Windows kestrin.dll: exactly its three
# functions, by name, undecorated.
set -eu
dir=$1
fail=0
exports=$(x86_64-w64-mingw32-objdump -p "$dir/kestrin.dll" |
  awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^\t\[/{print $NF} t&&/^$/{t=0}' | sort | tr '\n' ' ')
expected="gpio_getPin gpio_gwesPowerOffSystem gpio_setPin "
if [ "$exports" = "$expected" ]; then
  echo "kestrin.dll exports: $exports"
else
  echo "kestrin.dll exports '$exports', expected '$expected'" >&2
  fail=1
fi
echo "$fail passed, $fail failed" | awk -v f=$fail '{print (1-f) " passed, " f " failed"}'
exit $fail
