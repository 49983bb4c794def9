#!/usr/bin/env bash
# Installs the Debian packages the build, tests and tools need, when any is missing.
set -euo pipefail

packages=(g++ cmake make pkg-config libudev-dev umockdev libumockdev-dev libgtest-dev
          libgmock-dev libcli11-dev gdb locales pybind11-dev python3-dev
          python3-pytest clang-format clang-tidy minicom picocom "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  # debconf's note that it cannot prompt is expected here and says nothing useful.
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" > /dev/null 2> >(grep -v '^debconf: ' >&2)
fi
