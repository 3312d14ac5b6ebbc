#!/usr/bin/env bash
# Checks one 32-bit release program: headers, hardening flags, imports, resources and size.
#   check-program.sh PROGRAM.exe VERSION MAX_BYTES DLL...
set -uo pipefail
program=$1 version=$2 max_bytes=$3
shift 3
name=$(basename "$program")
dump=$(i686-w64-mingw32-objdump -p "$program") || { echo "cannot read $program"; exit 1; }
fail=0
check() {   # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then echo "ok   $name: $what"; else echo "FAIL $name: $what"; fail=1; fi
}
has() { grep -Eq "$1" <<<"$dump"; }

check "32-bit i386 program" has 'file format pei-i386'
check "Windows GUI subsystem" has '^Subsystem[[:space:]]+00000002'
flags=$((16#$(sed -n 's/^DllCharacteristics[[:space:]]*//p' <<<"$dump")))
check "dynamic base (ASLR)" test $((flags & 0x40)) -ne 0
check "NX compatible" test $((flags & 0x100)) -ne 0
check "terminal-server aware" test $((flags & 0x8000)) -ne 0
check "relocations kept for ASLR" has '^Entry 5 [0-9a-f]+ 0*[1-9a-f][0-9a-f]* Base Relocation Directory'

imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr '[:upper:]' '[:lower:]' | sort -u | tr '\n' ' ')
expected=$(printf '%s\n' "$@" | tr '[:upper:]' '[:lower:]' | sort -u | tr '\n' ' ')
check "imports exactly [ $expected]" test "$imports" = "$expected"
functions=$(awk '/DLL Name:/ {dll=$3} /^\t[0-9a-f]+\t/ && NF >= 3 {print $3}' <<<"$dump")
check "no heap functions imported" bash -c "! grep -Eqx 'malloc|calloc|realloc|free|_Znw.*|_Zna.*|HeapAlloc|LocalAlloc|GlobalAlloc' <<<'$functions'"

text=$(strings -n 6 "$program")
wide=$(strings -el -n 4 "$program")
check "manifest asks for administrator rights" grep -q 'requestedExecutionLevel level="requireAdministrator" uiAccess="false"' <<<"$text"
check "manifest declares Windows 7 to 11" test "$(grep -c '<supportedOS Id=' <<<"$text")" -eq 4
check "version information: company" grep -qx 'Quillmere' <<<"$wide"
check "version information: product" grep -qx 'Brellan Flashwright Installer' <<<"$wide"
check "version information: version $version" grep -qx "$version" <<<"$wide"

size=$(stat -c %s "$program")
check "size $size bytes, at most $max_bytes" test "$size" -le "$max_bytes"
exit $fail
