#!/usr/bin/env bash
# Makes the emulated MACHINE (a row of machines.sh) in OUT: an unconfigured Debian tree of its
# release and architecture with its packages as an ext4 image (rootfs.img), Debian's kernel for
# it (kernel) and an initramfs (initrd.img) that loads the disk drivers and hands over to the test
# payload. None of the machine's code runs on the host, and no loop mount is needed. Kept while
# this script, guest_init and the machine's row are unchanged.
#
#   make_guest.sh MACHINE OUT
set -euo pipefail
name=$1 out=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/guest/machines.sh
source "$here/machines.sh"
machine_settings "$name"
stamp=$( (cat "$here/make_guest.sh" "$here/guest_init"
          declare -p suite debian_arch kernel_flavour packages modules) | sha256sum | cut -d' ' -f1)
if [[ -f $out/stamp && $(cat "$out/stamp") == "$stamp" ]]; then
  echo "$name guest in $out is up to date"
  exit 0
fi
rm -rf "$out"
mkdir -p "$out"
root=$out/root

# The machine's own Debian sources (its updates and security suites too, where it has them),
# so the guest's JDK is as current as the host's; for a guest of another release, the same
# sources with that release's name.
host_suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
sources=()
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [[ -f $file ]] && grep -Eq '^[^#]*(deb\.debian\.org|debian-security|/debian/?( |$))' "$file" \
    && sources+=("$file")
done
((${#sources[@]})) || { echo "no Debian apt sources on this machine" >&2; exit 1; }

# The sources for the guest's release in $out/sources, less those that match $1 where given.
write_sources() {
  rm -rf "$out/sources"
  mkdir -p "$out/sources"
  for file in "${sources[@]}"; do
    if [[ $file == *.sources ]]; then
      awk -v RS= -v ORS='\n\n' -v skip="${1-}" 'skip == "" || $0 !~ skip' "$file"
    else
      awk -v skip="${1-}" 'skip == "" || $0 !~ skip' "$file"
    fi | sed "s/\\b$host_suite\\b/$suite/g" >"$out/sources/$(basename "$file")"
  done
}
# The kernel is only unpacked here, then moved out.
unpack() {
  rm -rf "$root"
  mmdebstrap --mode=root --variant=extract --arch="$debian_arch" --skip=check/qemu --quiet \
    --skip=cleanup/apt/cache \
    --include='?essential' \
    --include="$packages busybox-static linux-image-$kernel_flavour" \
    "$suite" "$root" "$out/sources"/*
}
# A mirror part-way through a sync can serve a security index that does not match its Release
# file for one architecture (seen for ppc64el): the machine is then made from the release and
# its updates alone, and says so.
write_sources
if ! unpack; then
  echo "make_guest.sh: cannot unpack with every source; trying again without debian-security" >&2
  write_sources debian-security
  unpack
  echo "make_guest.sh: the $name guest has no updates from debian-security" >&2
fi
rm -rf "$out/sources"
echo "$name guest: $(du -sm "$root/var/cache/apt/archives" | cut -f1) MB of $suite packages"

shopt -s nullglob
module_trees=("$root"/usr/lib/modules/*-"$kernel_flavour")
# Debian 13's /lib is a link to usr/lib, where the same modules would be found again.
[[ -L $root/lib ]] || module_trees+=("$root"/lib/modules/*-"$kernel_flavour")
images=("$root"/boot/vmlinu[xz]-*-"$kernel_flavour")
shopt -u nullglob
if ((${#module_trees[@]} != 1 || ${#images[@]} != 1)); then
  echo "expected one $kernel_flavour kernel, found: ${module_trees[*]} ${images[*]}" >&2
  exit 1
fi
kernel=$(basename "${module_trees[0]}")
cp "${images[0]}" "$out/kernel"
depmod -b "$root" "$kernel"

# The initramfs: static busybox, the block and ext4 drivers in load order, and the init.
initrd=$out/initrd
mkdir -p "$initrd/bin" "$initrd/modules"
: >"$initrd/modules/order"
cp "$root/bin/busybox" "$initrd/bin/busybox"
cp "$here/guest_init" "$initrd/init"
chmod 755 "$initrd/init"
# shellcheck disable=SC2086 # a list of module names
modprobe -d "$root" -S "$kernel" --show-depends -a $modules \
  | awk '$1 == "insmod" { print $2 }' | awk '!seen[$0]++' | while read -r module; do
      cp "$module" "$initrd/modules/"
      basename "$module" >>"$initrd/modules/order"
    done
(cd "$initrd" && find . | cpio --quiet -o -H newc | gzip -1) >"$out/initrd.img"

# The root filesystem, without the kernel it no longer needs; the payload disk mounts at
# /startutil, where the test binaries were built to find their probe.
rm -rf "$root/boot" "${module_trees[0]}" "$root/var/cache/apt/archives"/*.deb
mkdir -p "$root/startutil"
size_mb=$(($(du -sm "$root" | cut -f1) * 5 / 4 + 64))
mkfs.ext4 -q -F -L startutil-root -d "$root" "$out/rootfs.img" "${size_mb}M"
rm -rf "$root" "$initrd"
echo "$stamp" >"$out/stamp"
ls -l "$out"
