#!/usr/bin/env bash
# An emulated 32-bit PC (qemu-system-i386) with Debian's 32-bit Wine, for the 32-bit Wine suite on
# machines whose kernel runs no 32-bit program. Its root and kernel are Debian's i386 packages of
# one suite, main only, so their versions always agree; the whole root is the initramfs, so the
# PC needs no disk driver and leaves nothing behind.
#   tests/win/i386-pc.sh build              make the PC, or reuse the one cached
#   tests/win/i386-pc.sh run JOB SECONDS    boot it with the folder JOB as /job, run /job/run there
#                                           and end the PC; the job's output on stdout, its exit
#                                           status as ours (1 where the PC gave none)
# The cache is $JOINTCAST_I386_PC (default ~/.cache/jointcast/i386-pc); it is made again when
# what makes it here changes. Exit status 3: the PC cannot be made here (the reason on stdout).
set -euo pipefail
suite=bookworm
packages=wine32,wine,fonts-wine,xvfb,xauth,fonts-liberation,python3,locales,kmod,cpio
cache=${JOINTCAST_I386_PC:-${XDG_CACHE_HOME:-$HOME/.cache}/jointcast/i386-pc}

say() { echo "i386-pc: $*"; }
cannot() { say "cannot be made here: $*"; exit 3; }

# Runs qemu with the given initramfs and extra options; the serial console goes to stdout. The
# PC powers itself off; a time-out ends it all the same.
boot() {  # boot INITRD SECONDS [QEMU OPTIONS...]
  local initrd=$1 seconds=$2
  shift 2
  timeout --kill-after=10 "$seconds" qemu-system-i386 -m 3500 -smp 2 -accel tcg,thread=multi \
    -cpu max,-smap,-smep,-umip,-fsgsbase,-pku -nic none -display none -monitor none \
    -serial stdio -no-reboot -kernel "$cache/vmlinuz" -initrd "$initrd" \
    -append "console=ttyS0 rdinit=/init panic=1 quiet" "$@" </dev/null | sed -u 's/\r$//'
}

# The PC's first process: configures the root once (the second stage of debootstrap, which this
# kernel cannot run), then runs the job it was booted with.
write_init() {
  cat >"$1/init" <<'EOF'
#!/bin/sh
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
# The root is a tmpfs of half the memory unless told: the root and a Wine prefix need more.
mount -o remount,size=3000m / 2>/dev/null
# Off at once: an immediate reset, which qemu (-no-reboot) takes as the end.
end() { sync; echo b >/proc/sysrq-trigger; sleep 30; }
if [ -x /debootstrap/debootstrap ]; then
  /debootstrap/debootstrap --second-stage >/tmp/second-stage.log 2>&1 || {
    tail -n 30 /tmp/second-stage.log /debootstrap/debootstrap.log; echo "i386-pc: second stage failed"; end; }
  . /tidy-root
  depmod -a "$(ls /lib/modules)" && modprobe virtio_blk && modprobe virtio_pci
  rm -rf /lib/modules
  # The configured root goes back to the host on the disk, as one archive.
  blocks=$(cd / && find . -xdev | cpio -o -H newc -O /dev/vda 2>&1 | sed -n 's/^\([0-9]*\) blocks$/\1/p')
  echo "i386-pc: image ${blocks:-0} blocks"
  end
fi
python3 -c '
import fcntl, socket, struct
s = socket.socket()
flags = struct.unpack("16sH", fcntl.ioctl(s, 0x8913, struct.pack("16sH14s", b"lo", 0, b""))[:18])[1]
fcntl.ioctl(s, 0x8914, struct.pack("16sH14s", b"lo", flags | 1, b""))'
echo "i386-pc: job begins"
(cd /job && ./run) 2>&1
echo "i386-pc: job status $?"
end
EOF
  chmod +x "$1/init"
  tidy_root >"$1/tidy-root"
  printf '127.0.0.1 localhost\n' >"$1/etc/hosts"
  echo i386-pc >"$1/etc/hostname"
}

# The second stage of debootstrap runs the root's own i386 programs. Here, through qemu's user
# mode emulator registered for i386 programs for that while only: three times faster than in the
# emulated PC. False where that cannot be (no qemu-i386-static, no binfmt_misc).
configure_here() {  # configure_here ROOT
  local root=$1 entry=/proc/sys/fs/binfmt_misc/jointcast-i386 status=0
  [[ -x /usr/bin/qemu-i386-static ]] || return 1
  [[ -w /proc/sys/fs/binfmt_misc/register ]] ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || return 1
  if [[ ! -e $entry ]]; then
    # The ELF header of an i386 executable or shared object, as qemu registers it; F: the
    # emulator is opened now, so it need not be inside the root.
    printf '%s' ':jointcast-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
      >/proc/sys/fs/binfmt_misc/register 2>/dev/null || return 1
  fi
  # Every i386 program on this machine would run through it: registered for this step only.
  trap 'echo -1 >"$entry" 2>/dev/null' EXIT
  trap 'exit 143' TERM INT
  timeout 1800 chroot "$root" /debootstrap/debootstrap --second-stage >"$cache/configure.log" 2>&1 &&
    chroot "$root" /bin/sh -c "$(tidy_root)" >>"$cache/configure.log" 2>&1 || status=$?
  echo -1 >"$entry"
  trap - EXIT TERM INT
  umount "$root/proc" 2>/dev/null || true
  if ((status)); then
    tail -n 30 "$cache/configure.log"
    say "configuring the PC failed (see $cache/configure.log)"
    exit 1
  fi
}

# Fallback: configured in the emulated PC itself, its root brought back on a disk.
configure_in_pc() {  # configure_in_pc WORK
  local work=$1 blocks
  # The kernel's modules for that disk.
  mkdir -p "$work/root/lib/modules"
  cp -a "$work"/kernel/lib/modules/* "$work/root/lib/modules/"
  (cd "$work/root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/foreign.cpio.gz"
  truncate -s 4G "$work/disk.raw"
  boot "$work/foreign.cpio.gz" 3600 -drive "file=$work/disk.raw,format=raw,if=virtio" \
    >"$cache/configure.log" 2>&1 || true
  blocks=$(sed -n 's/^i386-pc: image \([0-9]*\) blocks$/\1/p' "$cache/configure.log")
  if [[ -z $blocks || $blocks -eq 0 ]]; then
    tail -n 40 "$cache/configure.log"
    say "configuring the PC failed (see $cache/configure.log)"
    exit 1
  fi
  head -c $((blocks * 512)) "$work/disk.raw" | gzip -1 >"$cache/pc.cpio.gz"
}

# After the second stage: the locale the tests need, and nothing the tests do not read.
tidy_root() {
  cat <<'EOF'
echo 'de_DE.UTF-8 UTF-8' >/etc/locale.gen && locale-gen >/dev/null &&
rm -rf /var/cache/apt/archives/*.deb /var/lib/apt/lists/* /usr/share/doc/* /usr/share/man/* \
  /usr/share/info/* /usr/share/locale/*
EOF
}

mirror() {
  [[ -n ${JOINTCAST_DEBIAN_MIRROR:-} ]] && { echo "$JOINTCAST_DEBIAN_MIRROR"; return; }
  apt-get indextargets --format '$(REPO_URI)' "Codename: $suite" "Label: Debian" "Component: main" \
    2>/dev/null | sort -u | head -n 1 | sed 's,/$,,'
}

build() {
  for tool in qemu-system-i386 debootstrap cpio gzip wget dpkg-deb; do
    command -v "$tool" >/dev/null || cannot "$tool is not installed (scripts/install-deps.sh --windows)"
  done
  [[ -f $cache/key && $(cat "$cache/key") == "$key" && -f $cache/pc.cpio.gz ]] && return 0
  local url started=$SECONDS
  url=$(mirror)
  [[ -n $url ]] || cannot "no Debian $suite mirror in apt's sources (set JOINTCAST_DEBIAN_MIRROR)"
  say "making the PC in $cache from Debian $suite i386 ($url); a few minutes, once"
  rm -rf "$cache"
  mkdir -p "$cache"
  local work=$cache/work
  timeout 1200 debootstrap --foreign --arch=i386 --variant=minbase --include="$packages" "$suite" "$work/root" \
    "$url" >"$cache/debootstrap.log" 2>&1 ||
    cannot "debootstrap failed: $(grep -E '^E:' "$cache/debootstrap.log" | tail -n 1)"

  # The kernel: the one linux-image-686 names, from the index debootstrap has checked.
  local index kernel stanza
  index=$(echo "$work"/root/var/lib/apt/lists/*_dists_"$suite"_main_binary-i386_Packages)
  kernel=$(awk -v RS= '/(^|\n)Package: linux-image-686\n/' "$index" |
    sed -n 's/^Depends: \(linux-image-[^ ,]*\).*/\1/p')
  [[ -n $kernel ]] || cannot "no i386 kernel package in Debian $suite"
  stanza=$(awk -v RS= -v p="Package: $kernel" 'index($0, p "\n") == 1' "$index")
  wget -q -O "$work/kernel.deb" "$url/$(sed -n 's/^Filename: //p' <<<"$stanza")" ||
    cannot "the kernel package $kernel could not be fetched"
  [[ $(sha256sum <"$work/kernel.deb" | cut -d' ' -f1) == "$(sed -n 's/^SHA256: //p' <<<"$stanza")" ]] ||
    cannot "the kernel package $kernel does not match its index"
  dpkg-deb -x "$work/kernel.deb" "$work/kernel"
  cp "$work"/kernel/boot/vmlinuz-* "$cache/vmlinuz"
  write_init "$work/root"

  if configure_here "$work/root"; then
    (cd "$work/root" && find . | cpio -o -H newc --quiet | gzip -1) >"$cache/pc.cpio.gz"
  else
    configure_in_pc "$work"
  fi
  rm -rf "$work"
  echo "$key" >"$cache/key"
  say "made in $((SECONDS - started)) s: $(du -h "$cache/pc.cpio.gz" | cut -f1) compressed"
}

run() {  # run JOB SECONDS
  local job=$1 seconds=$2 status
  tmp=$(mktemp -d)  # not local: the trap runs after this function has returned
  trap 'rm -rf "$tmp"' EXIT
  # The job is a second archive after the root's: the kernel unpacks both into one tree.
  mkdir "$tmp/tree"
  cp -a "$job" "$tmp/tree/job"
  (cd "$tmp/tree" && find . | cpio -o -H newc --quiet | gzip -1) >"$tmp/job.cpio.gz"
  cat "$cache/pc.cpio.gz" "$tmp/job.cpio.gz" >"$tmp/initrd"
  boot "$tmp/initrd" "$seconds" | tee "$tmp/console.log" |
    sed -u -n '/^i386-pc: job begins$/,/^i386-pc: job status/p' |
    grep --line-buffered -v '^i386-pc: job ' || true
  status=$(sed -n 's/^i386-pc: job status \([0-9]*\)$/\1/p' "$tmp/console.log")
  if [[ -z $status ]]; then
    tail -n 20 "$tmp/console.log"
    say "the PC ended without the job's status (time-out after $seconds s, or a crash)"
    return 1
  fi
  return "$status"
}

# What the PC is made of, and how: a change to how it is run does not make it again.
key=$(declare -f build configure_here configure_in_pc tidy_root write_init |
  cat - <(echo "$suite $packages") | sha256sum | cut -c1-16)
mkdir -p "${cache%/*}"
exec 9>"${cache%/*}/.i386-pc.lock"
flock 9
case ${1:-} in
  build) build ;;
  run)
    build
    run "$2" "$3"
    ;;
  *)
    echo "usage: $0 build | run JOB SECONDS" >&2
    exit 2
    ;;
esac
