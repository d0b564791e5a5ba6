#!/usr/bin/env bash
# Makes the emulated arm64 machine in OUT: an unconfigured Debian 12 arm64 tree with OpenJDK 17
# and musl as an ext4 image (rootfs.img), Debian's arm64 kernel (vmlinuz) and an initramfs
# (initrd.img) that loads the disk drivers and hands over to the test payload. No arm64 code runs
# on the host, and no loop mount is needed. Kept while this script and guest_init are unchanged.
set -euo pipefail
out=$1
here=$(cd "$(dirname "$0")" && pwd)
stamp=$(cat "$here/make_guest.sh" "$here/guest_init" | sha256sum | cut -d' ' -f1)
if [[ -f $out/stamp && $(cat "$out/stamp") == "$stamp" ]]; then
  echo "arm64 guest in $out is up to date"
  exit 0
fi
rm -rf "$out"
mkdir -p "$out"
root=$out/root

# The machine's own Debian sources (its updates and security suites too, where it has them),
# so the guest's JDK is as current as the host's.
sources=()
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [[ -f $file ]] && grep -Eq '^[^#]*(deb\.debian\.org|debian-security|/debian/?( |$))' "$file" \
    && sources+=("$file")
done
((${#sources[@]})) || { echo "no Debian apt sources on this machine" >&2; exit 1; }

# procps for kill, which the JVM tests run; musl for the host that loads the library under musl's
# dynamic loader; the kernel is only unpacked here, then moved out.
mmdebstrap --mode=root --variant=extract --arch=arm64 --skip=check/qemu --quiet \
  --include='?essential' \
  --include='openjdk-17-jre-headless busybox-static procps musl linux-image-arm64' \
  bookworm "$root" "${sources[@]}"

shopt -s nullglob
modules=("$root"/lib/modules/*-arm64 "$root"/usr/lib/modules/*-arm64)
shopt -u nullglob
((${#modules[@]} == 1)) || { echo "expected one arm64 kernel, found: ${modules[*]}" >&2; exit 1; }
kernel=$(basename "${modules[0]}")
cp "$root/boot/vmlinuz-$kernel" "$out/vmlinuz"
depmod -b "$root" "$kernel"

# The initramfs: static busybox, the block and ext4 drivers in load order, and the init.
initrd=$out/initrd
mkdir -p "$initrd/bin" "$initrd/modules"
cp "$root/bin/busybox" "$initrd/bin/busybox"
cp "$here/guest_init" "$initrd/init"
chmod 755 "$initrd/init"
modprobe -d "$root" -S "$kernel" --show-depends -a virtio_pci virtio_blk ext4 \
  | awk '$1 == "insmod" { print $2 }' | awk '!seen[$0]++' | while read -r module; do
      cp "$module" "$initrd/modules/"
      basename "$module" >>"$initrd/modules/order"
    done
(cd "$initrd" && find . | cpio --quiet -o -H newc | gzip -1) >"$out/initrd.img"

# The root filesystem, without the kernel it no longer needs; the payload disk mounts at
# /startutil, where the test binaries were built to find their probe.
rm -rf "$root/boot" "${modules[0]}" "$root/var/cache/apt/archives"/*.deb
mkdir -p "$root/startutil"
size_mb=$(($(du -sm "$root" | cut -f1) * 5 / 4 + 64))
mkfs.ext4 -q -F -L startutil-root -d "$root" "$out/rootfs.img" "${size_mb}M"
rm -rf "$root" "$initrd"
echo "$stamp" >"$out/stamp"
ls -l "$out"
