#!/bin/sh
# What a project that uses the build tree (add_subdirectory, the build's export) can include:
# every public header, each complete on its own, and none of the internal ones.
#   build_tree_headers.sh <c++> <include dirs;...> <public headers;...> <internal headers;...>
set -eu
cxx=$1
include=$(for dir in $(echo "$2" | tr ';' ' '); do printf -- '-I%s ' "$dir"; done)
public=$(echo "$3" | tr ';' ' ')
internal=$(echo "$4" | tr ';' ' ')
for header in $public; do
  echo "#include <$header>" |
    "$cxx" -std=c++17 -Wall -Wextra -Werror -fsyntax-only -x c++ $include - ||
    { echo "public header $header does not compile on its own"; exit 1; }
done
for header in $internal; do
  if echo "#include <$header>" | "$cxx" -std=c++17 -fsyntax-only -x c++ $include - \
      2>/dev/null; then
    echo "internal header $header is reachable from the build tree"
    exit 1
  fi
done
echo "build tree: $(echo "$public" | wc -w) public headers, $(echo "$internal" | wc -w) internal ones hidden"
