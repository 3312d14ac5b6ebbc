#!/usr/bin/env bash
# Checks one 32-bit release program: headers, hardening flags, imports, resources and size.
#   check-program.sh PROGRAM.exe VERSION MAX_BYTES DLL...
set -uo pipefail
program=$1 version=$2 max_bytes=$3
shift 3
name=$(basename "$program")
dump=$(i686-w64-mingw32-objdump -p "$program") || { echo "cannot read $program"; exit 1; }
source "$(dirname "${BASH_SOURCE[0]}")/check-lib.sh"
check_prefix="$name: "
has() { grep -Eq "$1" <<<"$dump"; }

check "32-bit i386 program" has 'file format pei-i386'
check "Windows GUI subsystem" has '^Subsystem[[:space:]]+00000002'
flags=$((16#$(sed -n 's/^DllCharacteristics[[:space:]]*//p' <<<"$dump")))
check "dynamic base (ASLR)" test $((flags & 0x40)) -ne 0
check "NX compatible" test $((flags & 0x100)) -ne 0
check "terminal-server aware" test $((flags & 0x8000)) -ne 0
check "no structured exception handlers (NO_SEH)" test $((flags & 0x400)) -ne 0
check "relocations kept for ASLR" has '^Entry 5 [0-9a-f]+ 0*[1-9a-f][0-9a-f]* Base Relocation Directory'

# Section characteristics, read from the section table itself: none may be writable (0x80000000)
# and executable (0x20000000) at once.
u32() { od -An -tu4 -j "$1" -N4 "$program" | tr -d ' '; }
u16() { od -An -tu2 -j "$1" -N2 "$program" | tr -d ' '; }
pe=$(u32 60)
sections=$(u16 $((pe + 6)))
table=$((pe + 24 + $(u16 $((pe + 20)))))
wx=""
for ((i = 0; i < sections; i++)); do
  c=$(u32 $((table + 40 * i + 36)))
  (( (c & 0xA0000000) == 0xA0000000 )) && wx+="$(dd if="$program" bs=1 skip=$((table + 40 * i)) count=8 2>/dev/null | tr -d '\0') "
done
check "$sections sections, none writable and executable${wx:+ (${wx% })}" test -z "$wx"

imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr '[:upper:]' '[:lower:]' | sort -u | tr '\n' ' ')
expected=$(printf '%s\n' "$@" | tr '[:upper:]' '[:lower:]' | sort -u | tr '\n' ' ')
check "imports exactly [ $expected]" test "$imports" = "$expected"
functions=$(awk '/DLL Name:/ {dll=$3} /^\t[0-9a-f]+\t/ && NF >= 3 {print $3}' <<<"$dump")
kernel32=$(awk '/DLL Name:/ {dll=tolower($3)} dll == "kernel32.dll" && /^\t[0-9a-f]+\t/ && NF >= 3 {print $3}' <<<"$dump")
check "SetDefaultDllDirectories imported from KERNEL32" grep -qx 'SetDefaultDllDirectories' <<<"$kernel32"
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
