#!/bin/sh
# Checks a built ZELWNQX.DLL: it exports exactly ZelMain, undecorated, and
# imports only Windows system DLLs and KORVAN.DLL.
# Usage: check-dll-linkage.sh OBJDUMP DLL
set -u
objdump=$1 dll=$2
dump=$("$objdump" -p "$dll") || { echo "cannot read $dll"; exit 1; }
status=0

exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p')
if [ "$exports" != "ZelMain" ]; then
    echo "exports: expected exactly ZelMain, found: $(echo $exports)"
    status=1
fi

allowed="KERNEL32.dll USER32.dll msvcrt.dll KORVAN.DLL ADVAPI32.dll"
imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p')
for dll_name in $imports; do
    case " $allowed " in
        *" $dll_name "*) ;;
        *) echo "unexpected import: $dll_name"; status=1 ;;
    esac
done
printf '%s\n' $imports | grep -qx KORVAN.DLL || { echo "KORVAN.DLL is not imported"; status=1; }
echo "exports: $(echo $exports); imports: $(echo $imports)"
exit $status
