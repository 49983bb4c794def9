#!/bin/sh
# Builds the Debian packages from a build configured for /usr, checks what each one holds,
# lets lintian judge them, unpacks them into a throwaway root, runs chassisctl and imports the
# Python module from there, and builds a consumer against them.
# For a cross build (SERIAL_DRIVER_TOOLCHAIN, SERIAL_DRIVER_PYTHON: the target's toolchain file
# and interpreter), the packages are the target's and run from the root under emulation.
set -eu
source=$1
install_tests=$2
triplet=$3  # the packages' architecture, as a multiarch triplet
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python=/usr/bin/python3
toolchain=""
if [ -n "${SERIAL_DRIVER_TOOLCHAIN:-}" ]; then
  python=$SERIAL_DRIVER_PYTHON
  toolchain="--toolchain $SERIAL_DRIVER_TOOLCHAIN"
fi

# shellcheck disable=SC2086
cmake -S "$source" -B "$work/build" $toolchain -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_BUILD_TYPE=Release -DSERIAL_DRIVER_BUILD_TESTS=OFF -DSERIAL_DRIVER_BUILD_BENCH=OFF \
  -DPython_ROOT_DIR=/usr -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$work/build" -j"$(nproc)" >/dev/null
(cd "$work/build" && cpack -G DEB >/dev/null)
set -- "$work"/build/*.deb
[ $# -eq 5 ] || { echo "expected 5 packages, got: $*"; exit 1; }

# Each package's files, without the folders, against what it must hold.
contents() { dpkg-deb -c "$work"/build/"$1"_*.deb | awk '{print $6}' | grep -v '/$' | sort; }
expect() {
  package=$1
  shift
  for f in "$@"; do
    contents "$package" | grep -qx "./$f" || { echo "$package lacks $f"; contents "$package"; exit 1; }
  done
}
lib=usr/lib/$triplet
arch=$(dpkg-architecture -t "$triplet" -qDEB_HOST_ARCH 2>/dev/null)
for deb in "$@"; do
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || { echo "$deb is not for $arch"; exit 1; }
done
expect libserial-driver1 $lib/libserial_driver.so.1 $lib/libserial_driver.so.1.0.0 \
  usr/share/doc/libserial-driver1/copyright
[ "$(contents libserial-driver1 | grep -c include)" -eq 0 ] || { echo "headers in the runtime"; exit 1; }
expect libserial-driver-dev $lib/libserial_driver.so usr/include/serial_driver.h \
  usr/include/serial_driver/chassis_link.h \
  $lib/cmake/serial_driver/serial_driverConfig.cmake $lib/pkgconfig/serial_driver.pc
[ "$(contents libserial-driver-dev | grep -c chassis_sim)" -eq 0 ] ||
  { echo "the simulator in the -dev package"; exit 1; }
expect libserial-driver-sim-dev usr/include/chassis_sim/usb_testbed.h \
  $lib/cmake/serial_driver/serial_driverSimTargets.cmake \
  $lib/pkgconfig/serial_driver_chassis_sim.pc $lib/libchassis_sim.a
expect serial-driver-tools usr/bin/chassisctl usr/lib/udev/rules.d/60-serial-driver.rules
python_dir=usr/lib/python3/dist-packages
expect python3-serial-driver "$python_dir/serial_driver.pyi" \
  "$(contents python3-serial-driver | grep -o "$python_dir/serial_driver\.cpython-.*\.so")"
# The system libraries' packages come from dpkg-shlibdeps, for the packages' own architecture.
dpkg-deb -f "$work"/build/libserial-driver1_*.deb Depends | grep -q "libudev1 (>=" ||
  { echo "the library's dependencies were not computed"; exit 1; }
dpkg-deb -f "$work"/build/serial-driver-tools_*.deb Depends | grep -q "libserial-driver1 (=" ||
  { echo "the tools do not depend on the library"; exit 1; }
expect serial-driver-tools usr/share/man/man1/chassisctl.1.gz usr/bin/chassisd \
  usr/share/man/man8/chassisd.8.gz usr/lib/systemd/system/chassisd@.service \
  usr/lib/tmpfiles.d/serial_driver.conf
field() { dpkg-deb -f "$work"/build/"$1"_*.deb "$2"; }
for package in libserial-driver1:same libserial-driver-dev:same libserial-driver-sim-dev:same \
               python3-serial-driver:same serial-driver-tools:foreign; do
  [ "$(field "${package%:*}" Multi-Arch)" = "${package#*:}" ] ||
    { echo "${package%:*} is not Multi-Arch: ${package#*:}"; exit 1; }
done
# What a robot installs pulls in no simulator: the programs load umockdev only to simulate.
for package in libserial-driver1 libserial-driver-dev serial-driver-tools python3-serial-driver; do
  if field $package Depends | grep -E 'umockdev|glib|gobject'; then
    echo "$package depends on the simulator's libraries"; exit 1
  fi
  if field $package Recommends | grep -E 'umockdev|sim'; then
    echo "$package recommends the simulator, which apt installs by default"; exit 1
  fi
done
for package in serial-driver-tools python3-serial-driver; do
  field $package Suggests | grep -qw umockdev || { echo "$package does not suggest umockdev"; exit 1; }
done
field libserial-driver-sim-dev Depends | grep -qw umockdev ||
  { echo "the simulator package does not depend on umockdev"; exit 1; }

echo "== what apt installs with the runtime packages holds no simulator"
deps=$(for package in libserial-driver1 serial-driver-tools python3-serial-driver; do
  field $package Depends; done | tr ',|' '\n\n' | sed 's/(.*)//; s/ //g' |
  grep -v '^libserial-driver' | sort -u)
# shellcheck disable=SC2046
apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
  --no-replaces --no-enhances $(for d in $deps; do echo "$d:$arch"; done) 2>/dev/null |
  grep -v '^ ' | sort -u >"$work/closure"
grep -q '^libc6' "$work/closure" || { echo "apt-cache knows no $arch packages"; exit 1; }
if grep -E 'umockdev|glib|gobject' "$work/closure"; then
  echo "installing the runtime packages would pull in the simulator's libraries"; exit 1
fi

echo "== the tools' maintainer scripts make the socket directory and reload udev only where it runs, and not in a chroot"
mkdir -p "$work/control" "$work/fake"
dpkg-deb -e "$work"/build/serial-driver-tools_*.deb "$work/control"
cat >"$work/fake/udevadm" <<EOF
#!/bin/sh
[ "\$*" = "control --ping" ] && exit \${PING:-0}
echo "\$*" >>"$work/udevadm.log"
EOF
printf '#!/bin/sh\nexit ${CHROOT:-1}\n' >"$work/fake/ischroot"
printf '#!/bin/sh\necho "$*" >>"%s"\n' "$work/tmpfiles.log" >"$work/fake/systemd-tmpfiles"
chmod +x "$work/fake/udevadm" "$work/fake/ischroot" "$work/fake/systemd-tmpfiles"
postinst() {
  rm -f "$work/udevadm.log" "$work/tmpfiles.log"
  env PATH="$work/fake:$PATH" "$@" "$work/control/postinst" configure
  cat "$work/udevadm.log" 2>/dev/null || true
}
[ "$(postinst)" = "$(printf 'control --reload\ntrigger --subsystem-match=tty --action=change')" ] ||
  { echo "postinst did not reload and trigger: $(postinst)"; exit 1; }
[ -z "$(postinst CHROOT=0)" ] || { echo "postinst ran udevadm in a chroot"; exit 1; }
[ -z "$(postinst PING=1)" ] || { echo "postinst ran udevadm without udev"; exit 1; }
[ "$(cat "$work/tmpfiles.log")" = "--create /usr/lib/tmpfiles.d/serial_driver.conf" ] ||
  { echo "postinst did not make the socket directory"; exit 1; }

summaries=$(for deb in "$@"; do dpkg-deb -f "$deb" Description | head -n 1; done | sort -u)
[ "$(printf '%s\n' "$summaries" | wc -l)" -eq 5 ] ||
  { echo "the packages share a short description: $summaries"; exit 1; }

if command -v lintian >/dev/null; then
  echo "== lintian"
  lintian --tag-display-limit 0 "$@" 2>/dev/null | tee "$work/lintian.log"
  if grep -q '^E:' "$work/lintian.log"; then echo "lintian reports errors"; exit 1; fi
fi

echo "== unpacked into a throwaway root"
root=$work/root
for deb in "$@"; do dpkg-deb -x "$deb" "$root"; done
# A /usr install has no search path of its own: the loader is told where the root's copy is.
# A busy machine may make the simulated reply late (exit status 1): three runs in all.
for _ in 1 2 3; do
  LD_LIBRARY_PATH=$root/$lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH} \
    "$root/usr/bin/chassisctl" --simulate --quiet get 5 >"$work/get.out" 2>"$work/get.err" && break
  grep -q "no valid reply in time" "$work/get.err" || break
done
[ "$(cat "$work/get.out")" = "0" ] || { echo "chassisctl said: $(cat "$work/get.out")"; exit 1; }

LD_LIBRARY_PATH=$root/$lib PYTHONPATH=$root/$python_dir "$python" -c \
  'import serial_driver; print(len(serial_driver.list_serial_ports()) >= 0)' >"$work/py.out"
[ "$(cat "$work/py.out")" = "True" ] || { echo "the Python module did not import"; exit 1; }

echo "== pkg-config names the plain directories"
PKG_CONFIG_PATH=$root/$lib/pkgconfig:/usr/lib/$triplet/pkgconfig \
  pkg-config --cflags --libs serial_driver_chassis_sim \
  >"$work/pc.out"
grep -q '\.\.' "$work/pc.out" && { echo "pkg-config said: $(cat "$work/pc.out")"; exit 1; }
grep -qx 'prefix=/usr' "$root/$lib/pkgconfig/serial_driver.pc" ||
  { cat "$root/$lib/pkgconfig/serial_driver.pc"; exit 1; }

echo "== cpack refuses a build configured for another prefix, saying how"
# shellcheck disable=SC2086
cmake -S "$source" -B "$work/local" $toolchain -DSERIAL_DRIVER_BUILD_SIM=OFF \
  -DSERIAL_DRIVER_BUILD_TOOLS=OFF -DSERIAL_DRIVER_BUILD_TESTS=OFF -DSERIAL_DRIVER_BUILD_BENCH=OFF \
  -DSERIAL_DRIVER_BUILD_PYTHON=OFF >/dev/null
cmake --build "$work/local" -j"$(nproc)" >/dev/null
if (cd "$work/local" && cpack -G DEB) >"$work/local.log" 2>&1; then
  echo "cpack made packages from a build for /usr/local"; exit 1
fi
grep -q -- "-DCMAKE_INSTALL_PREFIX=/usr" "$work/local.log" || { cat "$work/local.log"; exit 1; }

echo "== consumer built against the packages"
# shellcheck disable=SC2086
cmake -S "$install_tests/consumer" -B "$work/consumer" $toolchain \
  ${toolchain:+-DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=BOTH} -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$work/consumer" >/dev/null
LD_LIBRARY_PATH=$root/$lib "$work/consumer/consumer"
echo "package test passed"
