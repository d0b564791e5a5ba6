# shellcheck shell=bash disable=SC2034 # sets variables for the script that sources it
# The emulated machines, one row each: what make_guest.sh puts into a machine's image and how
# run_guest.sh boots it. Sourced; `machine_settings NAME` sets, for that machine:
#   suite           the Debian release it is made from
#   debian_arch     the Debian architecture of its packages
#   kernel_flavour  Debian's kernel for it is linux-image-$kernel_flavour
#   packages        what its tests need: a JVM, procps for kill, musl for the musl host
#   modules         the drivers the initramfs loads to reach the disks (with what they need)
#   qemu            the emulator and its machine, processor and firmware options
#   console         the kernel's console device, which QEMU's serial port shows
#   kernel_options  what else its kernel's command line needs
#   disk            the QEMU device that carries each disk
# A new machine is a new row, and a new CMake call of startutil_add_guest in tests/guest.
machine_settings() {
  suite=bookworm
  packages='openjdk-17-jre-headless procps musl'
  kernel_options=''
  modules='virtio_pci virtio_blk ext4'
  disk=virtio-blk-pci
  case $1 in
    arm64)
      debian_arch=arm64 kernel_flavour=arm64 console=ttyAMA0
      qemu=(qemu-system-aarch64 -M virt -cpu cortex-a57) ;;
    arm64-wine)
      # The arm64 machine with Debian's arm64 Wine in place of a JVM: StartUtil.dll for Windows
      # on Arm64 runs there, loaded by Wine as a native program.
      debian_arch=arm64 kernel_flavour=arm64 console=ttyAMA0 packages='wine wine64 procps'
      qemu=(qemu-system-aarch64 -M virt -cpu cortex-a57) ;;
    ppc64le)
      # POWER9, the oldest processor Debian's ppc64el supports; no graphics card, or the
      # firmware waits for one.
      debian_arch=ppc64el kernel_flavour=powerpc64le console=hvc0
      qemu=(qemu-system-ppc64 -M pseries -cpu power9 -vga none) ;;
    s390x)
      # Channel-attached disks, which the kernel may number in either order: the guest's init
      # finds them by their labels.
      debian_arch=s390x kernel_flavour=s390x console=ttysclp0 disk=virtio-blk-ccw
      modules='virtio_blk ext4'
      qemu=(qemu-system-s390x -M s390-ccw-virtio) ;;
    riscv64)
      # riscv64 is a Debian architecture from Debian 13 on. QEMU's virt machine offers Sv57
      # paging, which the JVM refuses ("Unsupported satp mode"), and QEMU 7.2 cannot turn it
      # off: the kernel is told to use Sv48 instead. QEMU's own OpenSBI firmware boots it.
      suite=trixie debian_arch=riscv64 kernel_flavour=riscv64 console=ttyS0
      packages='openjdk-21-jre-headless procps musl' kernel_options=no5lvl
      qemu=(qemu-system-riscv64 -M virt) ;;
    armhf)
      # 32-bit Arm. Without highmem=off the PCI host's configuration space lies above 4 GB,
      # where the kernel cannot claim it, and no disk shows up.
      debian_arch=armhf kernel_flavour=armmp console=ttyAMA0
      qemu=(qemu-system-arm -M 'virt,highmem=off' -cpu cortex-a15) ;;
    i386)
      # 32-bit x86 on a PC without a graphics card; the console is the first serial port.
      debian_arch=i386 kernel_flavour=686 console=ttyS0
      qemu=(qemu-system-i386 -M pc -vga none) ;;
    *)
      echo "no emulated machine named $1 (see tests/guest/machines.sh)" >&2
      return 1 ;;
  esac
}
