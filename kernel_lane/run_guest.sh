#!/usr/bin/env bash
# Boots Debian's own kernel in a QEMU guest (TCG, no network) whose USB devices are the two
# software CH340s of lane_host (the second unplugged at first), and runs guest tests there
# against the real ch341 driver and a real udev with the project's rules, installed where the
# package installs them.
#   run_guest.sh <build dir> <number of tests> <gtest filter> [--without-distribution-tty-rule]
# The guest's console comes back on standard output. It fails unless the ch341 driver attached
# and exactly that number of tests ran and passed: a filter that no longer selects a renamed
# test must not pass quietly. The last option drops the rule of Debian's that gives serial
# nodes group dialout, so that only the project's rule can.
set -euo pipefail
build=$1
expected=$2
filter=$3
without_tty_rule=false
[[ ${4:-} == --without-distribution-tty-rule ]] && without_tty_rule=true

vmlinuz=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1 || true)
for need in "$vmlinuz:linux-image-amd64" /usr/bin/qemu-system-x86_64:qemu-system-x86 \
            /bin/busybox:busybox-static; do
  [[ -n ${need%%:*} && -e ${need%%:*} ]] ||
    { echo "the kernel lane needs ${need##*:} (Debian package), which is not installed"; exit 1; }
done
kver=${vmlinuz#/boot/vmlinuz-}
work=$(mktemp -d)
qemu_pid=""
host_pid=""
cleanup() {
  local status=$?
  if [[ -n $qemu_pid ]]; then kill "$qemu_pid" 2>/dev/null || true; fi
  if [[ -n $host_pid ]]; then kill "$host_pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
root=$work/root

# A merged-/usr root, as Debian 12's.
mkdir -p "$root"/{usr/bin,usr/sbin,usr/lib64,usr/lib/systemd,etc,proc,sys,dev,run,tmp,root}
for d in bin sbin lib lib64; do ln -s usr/$d "$root/$d"; done

# A program and the shared libraries it loads, at the same paths as on the host.
copy_program() {
  local program=$1 target=${2:-$1}
  cp -L "$program" "$root$target"
  ldd "$program" | grep -o '/[^ ]*' | while read -r lib; do
    [[ -e $root$lib ]] && continue
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
}

cp /bin/busybox "$root/usr/bin/busybox"
for applet in $(/bin/busybox --list); do
  [[ -e $root/usr/bin/$applet ]] || ln -s busybox "$root/usr/bin/$applet"
done

# The USB host controller, the serial core and the ch341 driver, loaded in dependency order.
: >"$root/modules.sh"
for module in xhci_pci ch341; do
  modprobe -S "$kver" --show-depends "$module" | while read -r kind path _; do
    [[ $kind == insmod && ! -e $root$path ]] || continue
    mkdir -p "$root$(dirname "$path")"
    cp "$path" "$root$path"
    echo "insmod $path" >>"$root/modules.sh"
  done
done

# udev: the daemon is udevadm under another name; the rules that name ttys and make the
# /dev/serial links, and the project's own, installed as its package installs them.
copy_program "$(command -v udevadm)" /usr/bin/udevadm
ln -s ../../bin/udevadm "$root/usr/lib/systemd/systemd-udevd"
mkdir -p "$root/usr/lib/udev/rules.d"
for rules in 50-udev-default 60-serial 80-drivers; do
  cp "/usr/lib/udev/rules.d/$rules.rules" "$root/usr/lib/udev/rules.d/"
done
if $without_tty_rule; then
  sed -i '/^KERNEL=="tty\[A-Z\]\*\[0-9\]|.*GROUP="dialout"/d' \
    "$root/usr/lib/udev/rules.d/50-udev-default.rules"
  if grep -q dialout "$root/usr/lib/udev/rules.d/50-udev-default.rules"; then
    echo "50-udev-default.rules still names dialout: its tty rule has changed"
    exit 1
  fi
fi
DESTDIR=$root cmake --install "$build" --prefix /usr --component tools >/dev/null
DESTDIR=$root cmake --install "$build" --prefix /usr --component runtime >/dev/null
copy_program "$root/usr/bin/chassisctl" /usr/bin/chassisctl.real
mv "$root/usr/bin/chassisctl.real" "$root/usr/bin/chassisctl"
copy_program "$build/kernel_lane/guest_test" /usr/bin/guest_test

cat >"$root/etc/passwd" <<'EOF'
root:x:0:0:root:/root:/bin/sh
robot:x:1000:1000:in dialout:/tmp:/bin/sh
visitor:x:1001:1001:not in dialout:/tmp:/bin/sh
EOF
cat >"$root/etc/group" <<'EOF'
root:x:0:
dialout:x:20:robot
robot:x:1000:
visitor:x:1001:
EOF

cat >"$root/init" <<EOF
#!/bin/sh
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs run /run
# The serial ports' lock directory, as a Debian system has it.
mkdir -m 1777 /run/lock
mount -t tmpfs tmp /tmp
. /modules.sh
/usr/lib/systemd/systemd-udevd --daemon
udevadm trigger --action=add
udevadm settle --timeout=30
dmesg | grep -m 1 'ch341-uart converter now attached to ttyUSB0' || echo 'no ch341 attached'
/usr/bin/guest_test --gtest_filter='$filter' --gtest_color=no
echo "kernel-lane-exit \$?"
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | /bin/busybox cpio -o -H newc 2>/dev/null) >"$work/initrd"

timeout 300 qemu-system-x86_64 -machine q35 -m 512 -accel tcg -display none -monitor none \
  -no-reboot -nic none -kernel "$vmlinuz" -initrd "$work/initrd" \
  -append 'console=ttyS0 quiet panic=-1' \
  -chardev "file,id=con,path=$work/console.log" -serial chardev:con \
  -chardev "socket,id=ctl,path=$work/control.sock,server=on,wait=off" -serial chardev:ctl \
  -device qemu-xhci,id=xhci \
  -chardev "socket,id=redir0,path=$work/redir0.sock,server=on,wait=off" \
  -device usb-redir,chardev=redir0,id=ch340a,bus=xhci.0 \
  -chardev "socket,id=redir1,path=$work/redir1.sock,server=on,wait=off" \
  -device usb-redir,chardev=redir1,id=ch340b,bus=xhci.0 &
qemu_pid=$!
"$build/kernel_lane/lane_host" "$work/control.sock" "$work/redir0.sock" LANE0001 \
  "$work/redir1.sock" off &
host_pid=$!
status=0
wait "$qemu_pid" || status=$?
qemu_pid=""
tr -d '\r' <"$work/console.log"
[[ $status -eq 0 ]] || { echo "QEMU ended with status $status"; exit 1; }
log=$(tr -d '\r' <"$work/console.log")
grep -q 'ch341-uart converter now attached to ttyUSB0' <<<"$log" ||
  { echo "the ch341 driver never attached"; exit 1; }
ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' <<<"$log")
passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' <<<"$log")
if [[ $ran != "$expected" || $passed != "$expected" ]]; then
  echo "expected $expected tests to run and pass; ran: ${ran:-none}, passed: ${passed:-none}"
  exit 1
fi
grep -q '^kernel-lane-exit 0' <<<"$log" || exit 1
