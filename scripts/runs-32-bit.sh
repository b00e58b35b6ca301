#!/usr/bin/env bash
# Does this kernel run 32-bit x86 programs? The smallest honest experiment: a 93-byte static i386
# ELF that only calls exit(0), written here and started. Exit 0 when it ran; otherwise exit 1
# with the refusal, and the kernel's own words where dmesg has them, on stdout.
set -uo pipefail

# A folder where programs may run at all (a /tmp mounted noexec would refuse any program): a
# copy of a native one must run there first.
for parent in "${TMPDIR:-/tmp}" /dev/shm /var/tmp "$HOME"; do
  dir=$(mktemp -d "$parent/runs-32-bit.XXXXXX" 2>/dev/null) || continue
  cp /bin/true "$dir/native" && "$dir/native" 2>/dev/null && break
  rm -rf "$dir"
  dir=
done
if [[ -z $dir ]]; then
  echo "it could not be told whether this kernel runs 32-bit programs: no folder here lets a program run"
  exit 1
fi
trap 'rm -rf "$dir"' EXIT

# ELF header, one PT_LOAD program header at 0x08048000, then: mov eax,1; xor ebx,ebx; int 0x80.
printf '%b' \
  '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
  '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
  '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00' \
  '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
  '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
  '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$dir/exit0"
chmod +x "$dir/exit0"
refusal=$("$dir/exit0" 2>&1) && exit 0
status=$?
refusal=${refusal##*: }
kernel=$(dmesg 2>/dev/null | grep -i -E 'ia-?32|32-bit emulation' | tail -n 1 | sed 's/^\[[^]]*\] *//')
echo "this kernel runs no 32-bit program (a 32-bit test program: ${refusal:-exit status $status}${kernel:+; kernel: $kernel})"
exit 1
