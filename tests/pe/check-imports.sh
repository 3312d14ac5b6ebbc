#!/usr/bin/env bash
# Checks that a release program is a 32-bit Windows GUI program whose import table names exactly
# the given DLLs. Usage: check-imports.sh PROGRAM.exe DLL...
set -euo pipefail
program=$1
shift
dump=$(i686-w64-mingw32-objdump -p "$program")
fail=0
grep -q 'file format pei-i386' <<<"$dump" || { echo "not a 32-bit (i386) program: $program"; fail=1; }
grep -Eq '^Subsystem[[:space:]]+00000002' <<<"$dump" || { echo "not a Windows GUI subsystem program"; fail=1; }
actual=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr '[:upper:]' '[:lower:]' | sort -u | tr '\n' ' ')
expected=$(printf '%s\n' "$@" | tr '[:upper:]' '[:lower:]' | sort -u | tr '\n' ' ')
if [ "$actual" != "$expected" ]; then
  echo "imports differ: expected [ $expected] got [ $actual]"
  fail=1
fi
[ $fail -eq 0 ] && echo "ok: $(basename "$program") imports [ $actual]"
exit $fail
