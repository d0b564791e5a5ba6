#!/usr/bin/env bash
# Fetches Debian's musl and musl-dev for ARCH into OUT, unpacked but not installed (this
# machine's dpkg and its list of architectures are left alone), and writes OUT/musl-gcc.specs:
# the specs Debian's musl-gcc uses, pointed into OUT, for a cross compiler's -specs. Programs
# built so link musl dynamically and name musl's loader for ARCH as their interpreter.
# SUITE, where given, is the Debian release to take musl from instead of this machine's (an
# architecture that came later, such as riscv64 in Debian 13), read from the same mirrors.
#
#   musl_sysroot.sh OUT ARCH [SUITE]
set -euo pipefail
out=$1 arch=$2 suite=${3-}
rm -rf "$out"
mkdir -p "$out/apt/lists/partial" "$out/apt/cache/archives/partial" "$out/apt/sources" "$out/debs"

# apt with lists and a cache of its own for ARCH alone, from this machine's Debian sources.
apt=(apt-get -qq -o "APT::Architecture=$arch" -o "APT::Architectures::=$arch"
     -o "Dir::State::Lists=$out/apt/lists" -o "Dir::Cache=$out/apt/cache"
     -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
if [[ -n $suite ]]; then
  # This machine's Debian sources with the other release's name in place of its own.
  host_suite=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release)
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    if [[ ! -f $file ]] || ! grep -Eq '^[^#]*(deb\.debian\.org|debian-security|/debian/?( |$))' "$file"; then
      continue
    fi
    sed "s/\\b$host_suite\\b/$suite/g" "$file" >"$out/apt/sources/$(basename "$file")"
  done
  apt+=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$out/apt/sources")
fi
# A list that cannot be read (a mirror part-way through a sync) leaves the others: musl comes
# from the release itself, and the download below fails if no list has it.
"${apt[@]}" update || echo "musl_sysroot.sh: some package lists for $arch could not be read" >&2
(cd "$out/debs" && "${apt[@]}" download musl musl-dev)
for deb in "$out"/debs/*.deb; do dpkg-deb -x "$deb" "$out/root"; done
rm -rf "$out/apt"

specs=("$out"/root/usr/lib/*-linux-musl*/musl-gcc.specs)
[[ -f ${specs[0]} ]] || { echo "no musl-gcc.specs in musl-dev for $arch" >&2; exit 1; }
triplet=$(basename "$(dirname "${specs[0]}")")
# Headers, start files and the link path move into OUT; libc.so is found in OUT's /lib (in
# /usr/lib from Debian 13 on, already on the path); the interpreter stays /lib/ld-musl-*.so.1,
# where the target's musl package puts it (or its /lib link to usr/lib does).
sed -e "s|\([ L:]\)/usr/|\1$out/root/usr/|g" "${specs[0]}" \
  | sed -e "/^\*link_libgcc:/{n;s|^|-L$out/root/lib/$triplet |}" >"$out/musl-gcc.specs.tmp"
mv "$out/musl-gcc.specs.tmp" "$out/musl-gcc.specs"
