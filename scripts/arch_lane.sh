#!/usr/bin/env bash
# The suite for another architecture (scripts/test --arch arm64|armhf): installs Debian's cross
# toolchain and the target's libraries beside the host's, cross-builds everything, and runs the
# tests under qemu-user, the kernel handing the target's programs to qemu (binfmt).
#   arch_lane.sh <arm64|armhf> [--setup]   (--setup: only set the machine up, build nothing)
set -euo pipefail
cd "$(dirname "$0")/.."
arch=$1
setup_only=false
[[ ${2:-} == --setup ]] && setup_only=true
case $arch in
  arm64) triplet=aarch64-linux-gnu qemu=qemu-aarch64 ;;
  armhf) triplet=arm-linux-gnueabihf qemu=qemu-arm ;;
  *) echo "unknown architecture '$arch' (arm64 or armhf)" >&2; exit 2 ;;
esac
build=build-$arch
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
started=$SECONDS

# Each of these installs beside its amd64 copy (Multi-Arch: same).
target_packages=(libudev-dev libgtest-dev libgmock-dev libglib2.0-dev libumockdev0 libstdc++6
                 libpython3-dev libpython3.11-minimal libpython3.11-stdlib)
if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
  "${sudo_cmd[@]}" dpkg --add-architecture "$arch"
  "${sudo_cmd[@]}" apt-get update -qq
fi
scripts/deps.sh "crossbuild-essential-$arch" qemu-user-static binfmt-support lintian dpkg-dev \
  "${target_packages[@]/%/:$arch}"

# The kernel must start the target's programs itself: the simulator's tests re-execute
# themselves under the preload through /proc/self/exe.
if [[ ! -e /proc/sys/fs/binfmt_misc/register ]]; then
  "${sudo_cmd[@]}" mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi
grep -qsx enabled "/proc/sys/fs/binfmt_misc/$qemu" ||
  "${sudo_cmd[@]}" update-binfmts --enable "$qemu"
grep -qsx enabled "/proc/sys/fs/binfmt_misc/$qemu" ||
  { echo "binfmt for $qemu could not be enabled; the tests cannot run" >&2; exit 1; }

# umockdev's headers and preload, and the target's python3, would replace the host's copies if
# installed (they are not Multi-Arch: same), so they are unpacked into a root of their own that
# the build and the loader are pointed at.
root=$PWD/$build/target-root
if [[ ! -x $root/usr/bin/python3.11 ]]; then
  rm -rf "$root" && mkdir -p "$root/debs"
  (cd "$root/debs" &&
    apt-get download -qq -o APT::Sandbox::User=root "libumockdev-dev:$arch" "umockdev:$arch" "python3.11-minimal:$arch")
  for deb in "$root"/debs/*.deb; do dpkg-deb -x "$deb" "$root"; done
  # The .pc file names /usr; the development link points at the host's copy of the library,
  # which dpkg knows (the packages' dependencies are computed from it).
  sed -i "s|^prefix=.*|prefix=$root/usr|" "$root/usr/lib/$triplet/pkgconfig/umockdev-1.0.pc"
  ln -sf "/usr/lib/$triplet/libumockdev.so.0" "$root/usr/lib/$triplet/libumockdev.so"
fi
export SERIAL_DRIVER_TARGET_ROOT=$root
export LD_LIBRARY_PATH=$root/usr/lib/$triplet
if $setup_only; then
  echo "== $arch set up in $((SECONDS - started)) s; the target's root is $root"
  exit 0
fi

echo "== $build: configure and build for $arch"
cmake -S . -B "$build" --toolchain "cmake/toolchains/$triplet.cmake" -DSERIAL_DRIVER_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_ROOT_DIR=/usr \
  -DPython_EXECUTABLE="$root/usr/bin/python3.11" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
echo "== $build: tests under $qemu (binfmt)"
# The crash report's stack trace comes from gdb attached to the crashed process, which under
# qemu-user is the emulator itself, not the program: its frames cannot be checked here.
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure \
  -E '^CrashReport\.SegfaultWritesBannerAndStackTraceAndExits255$'
echo "== $arch lane passed in $((SECONDS - started)) s"
