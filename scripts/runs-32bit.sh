#!/usr/bin/env bash
# Says whether this machine runs 32-bit x86 Linux programs itself, which the 32-bit Wine needs:
# exit 0 when it can, 1 when it cannot, and one line on stdout saying why.
# BOOTSTRAPPER_64BIT_ONLY=1 answers "cannot" without trying, so that a machine that can behaves
# as one that cannot. Other scripts may also source this file and call runs_32bit.
#
# Before the 32-bit Wine is installed there is no 32-bit program on the machine to try, so the
# probe writes its own: a static i386 program of 96 bytes that calls exit(42) through int 0x80.

probe_timeout=5                          # seconds; a hung loader counts as "cannot"
binfmt_dir=/proc/sys/fs/binfmt_misc

# The probe program: one ELF32 header, one loadable segment (the whole file at 0x08048000) and
# the code at offset 0x54: mov eax,1 (exit); mov ebx,42; int 0x80.
write_probe() {
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'        # ELF32, little-endian
  printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08'                # EXEC, i386, entry
  printf '\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'                # phoff 52, no sections
  printf '\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'                # sizes, 1 header
  printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' # PT_LOAD at 0x08048000
  printf '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' # 96 bytes, R+X
  printf '\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80'                # exit(42)
}

# The name of an enabled binfmt_misc handler that takes 32-bit x86 ELF programs (qemu-i386, say),
# if any. The kernel asks these handlers before it runs an ELF program itself, so with one
# registered the probe's answer would come from an emulator, which runs the 32-bit Wine far too
# slowly to use, though it runs a 96-byte program in no time.
i386_emulator() {
  local entry magic
  for entry in "$binfmt_dir"/*; do
    if [ ! -f "$entry" ] || [ "$(head -n1 "$entry" 2>/dev/null)" != enabled ]; then
      continue
    fi
    magic=$(sed -n 's/^magic //p' "$entry")
    # ELF, 32-bit, little-endian ... e_machine 3 (i386) at byte 18, matched from offset 0.
    if [ "${magic:0:10}" = 7f454c4601 ] && [ "${magic:36:4}" = 0300 ] &&
       grep -qx 'offset 0' "$entry"; then
      sed -n 's/^interpreter //p' "$entry"
      return 0
    fi
  done
  return 1
}

# Returns 0 when 32-bit programs run here, 1 when not; prints one line saying why.
runs_32bit() {
  if [ "${BOOTSTRAPPER_64BIT_ONLY:-}" = 1 ]; then
    echo "BOOTSTRAPPER_64BIT_ONLY=1 is set"
    return 1
  fi
  local dir status errors emulator
  dir=$(mktemp -d) || { echo "no temporary folder for the probe"; return 1; }
  write_probe >"$dir/probe"
  chmod +x "$dir/probe"
  # bash's exec, not timeout's: timeout hands a program the kernel refuses to /bin/sh as a script,
  # whereas bash ends with 126 and the kernel's reason.
  status=0
  # shellcheck disable=SC2016
  timeout "$probe_timeout" bash -c 'exec "$0"' "$dir/probe" </dev/null >/dev/null 2>"$dir/errors" ||
    status=$?
  errors=$(head -n1 "$dir/errors")   # bash follows a failed exec with a stray "Success"
  rm -rf "$dir"
  case $status in
    42)
      if emulator=$(i386_emulator); then
        echo "32-bit programs run only through the emulator $emulator"
        return 1
      fi
      echo "a 32-bit test program ran"
      return 0 ;;
    124) echo "a 32-bit test program gave no answer within $probe_timeout s" ;;
    126|127) echo "a 32-bit test program does not start: ${errors##*: }" ;;
    *) echo "a 32-bit test program ended with $status instead of 42" ;;
  esac
  return 1
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  runs_32bit
fi
