#!/bin/sh
# The plug-in library defines exactly the four entry points in its dynamic symbol table.
got=$(nm -D --defined-only "$1" | awk '{print $3}' | sort | tr '\n' ' ')
want="LibClassDesc LibDescription LibNumberClasses LibVersion "
[ "$got" = "$want" ] && exit 0
echo "exported: $got"
exit 1
