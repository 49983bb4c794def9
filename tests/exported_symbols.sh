#!/bin/sh
# The library's dynamic symbol table must hold exactly the documented interface.
set -eu
lib=$1
expected=$2
# AddressSanitizer adds an ODR indicator for each exported variable.
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v '^__odr_asan' | c++filt | sort)
if ! diff_out=$(printf '%s\n' "$actual" | diff -u "$expected" -); then
  echo "exported symbols differ from $expected:"
  printf '%s\n' "$diff_out"
  exit 1
fi
echo "exported symbols: $(printf '%s\n' "$actual" | wc -l), as expected"
