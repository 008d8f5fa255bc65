# Wine for the tests, sourced by ./run: how this machine runs 32-bit
# programs, and each test prefix's server.
#   prepare_32                  MODE32 found (and, as root, an emulator
#                               registered where none runs them)
#   start_prefix PREFIX ARCH LOADER    the prefix booted, its server running
#   stop_prefix PREFIX          its server gone, its registry saved
#   stop_owned_prefixes         every server start_prefix started gone
#   await_two_monitors PREFIX LOADER PROBE    Wine sees the desk's monitors

HARNESS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
WINE64=/usr/lib/wine/wine64
WINE32=/usr/lib/wine/wine
WINESERVER=/usr/lib/wine/wineserver
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# ---- How this machine runs 32-bit programs --------------------------------
# 32-bit Windows programs need Wine's 32-bit loader, a 32-bit Linux program.
# MODE32 is one of
#   native    the kernel runs 32-bit programs itself (IA32 emulation);
#   emulated  an interpreter registered in binfmt_misc (qemu-user-static)
#             runs them. The kernel hands a program to binfmt_misc before
#             its own ELF loader, so this holds whenever such an entry is
#             enabled, whatever the kernel could do by itself: "the loader
#             starts" does not mean "native";
#   none      neither: the 32-bit edition is built but not tested.
QEMU_I386=/usr/bin/qemu-i386-static
BINFMT=/proc/sys/fs/binfmt_misc
BINFMT_ENTRY=qemu-i386
# i386 ELF executables and shared objects (e_type 2 or 3, e_machine 3).
I386_MAGIC='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
I386_MASK='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
MODE32=
WHY_NOT_32=

interpreter_32() {
  [ -x "$WINE32" ] && [ "$(cat "$BINFMT/status" 2>/dev/null)" = enabled ] &&
    python3 "$HARNESS/binfmt_interpreter.py" "$WINE32" "$BINFMT"
}

find_32() {
  if ! "$WINE32" --version </dev/null >/dev/null 2>&1; then
    MODE32=none
    WHY_NOT_32="this machine cannot run 32-bit Linux programs, so no 32-bit Wine (the kernel has no IA32 emulation and no emulator is registered: $WINE32 does not start)"
  elif interpreter_32 >/dev/null; then
    MODE32=emulated
  else
    MODE32=native
  fi
}

# Registers qemu-user-static for i386 ELF programs (as root), saying what it
# does; an entry already there is used as it is. The flag F opens the
# interpreter now, so it also serves programs in other mount namespaces. The
# registration lasts until the machine restarts.
register_qemu_i386() {
  if [ ! -e "$BINFMT/register" ]; then
    mount -t binfmt_misc binfmt_misc "$BINFMT"
    echo "binfmt_misc: mounted at $BINFMT"
  fi
  if [ "$(cat "$BINFMT/status")" != enabled ]; then
    echo 1 >"$BINFMT/status"
    echo "binfmt_misc: enabled"
  fi
  if [ -e "$BINFMT/$BINFMT_ENTRY" ]; then
    if [ "$(head -n1 "$BINFMT/$BINFMT_ENTRY")" != enabled ]; then
      echo 1 >"$BINFMT/$BINFMT_ENTRY"
      echo "binfmt_misc: enabled the entry $BINFMT_ENTRY that was there"
    fi
  else
    printf ':%s:M::%s:%s:%s:F' "$BINFMT_ENTRY" "$I386_MAGIC" "$I386_MASK" "$QEMU_I386" >"$BINFMT/register"
    echo "binfmt_misc: registered $QEMU_I386 for i386 ELF programs (entry $BINFMT_ENTRY)"
  fi
}

prepare_32() {
  find_32
  if [ "$MODE32" = none ] && [ "$(id -u)" -eq 0 ] && [ -x "$QEMU_I386" ]; then
    register_qemu_i386
    find_32
  fi
  case "$MODE32" in
    native) echo "32-bit programs: run by the kernel itself" ;;
    emulated) echo "32-bit programs: emulated by $(interpreter_32) (binfmt_misc); the 32-bit edition is tested in a 64-bit Windows (WoW64)" ;;
    none)
      echo "32-bit programs: none run here. As root, ./run registers $QEMU_I386 for them; by hand:"
      echo "  sudo mount -t binfmt_misc binfmt_misc $BINFMT   # where it is not mounted"
      echo "  printf ':$BINFMT_ENTRY:M::%s:%s:$QEMU_I386:F' '$I386_MAGIC' '$I386_MASK' | sudo tee $BINFMT/register"
      ;;
  esac
}

# ---- The prefixes' servers -------------------------------------------------
# Wine's service processes inherit the standard streams of whoever starts
# them first; they start here, with every stream redirected, so that no test
# program's pipe is held open and ctest never waits on it.
# A new prefix is the Windows of the first program that boots it: a server
# started before that makes every new prefix a 64-bit Windows, WINEARCH=win32
# or not (seen here: the 32-bit edition's "32-bit Windows" had a 64-bit
# registry view and WoW64). So a new prefix boots first, and one of the wrong
# Windows is made again.
OWNED_PREFIXES=()
start_prefix() {
  local prefix=$1 arch=$2 loader=$3
  if [ -f "$prefix/system.reg" ] && ! grep -qx "#arch=$arch" "$prefix/system.reg"; then
    echo "(the prefix $prefix is not a $arch Windows: made again)"
    stop_prefix "$prefix"
    rm -rf "$prefix"
  fi
  # A 64-bit Windows made before the 32-bit Wine was installed has no 32-bit
  # half, and every 32-bit program (the setup among them) fails to start in
  # it ("could not load kernel32.dll").
  if [ "$arch" = win64 ] && [ -f "$prefix/system.reg" ] && [ -x "$WINE32" ] &&
    [ ! -f "$prefix/drive_c/windows/syswow64/kernel32.dll" ]; then
    echo "(the prefix $prefix has no 32-bit half: made again)"
    stop_prefix "$prefix"
    rm -rf "$prefix"
  fi
  if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$prefix"
    WINEPREFIX=$prefix WINEARCH=$arch "$loader" wineboot -i </dev/null >/dev/null 2>&1 || true
    stop_prefix "$prefix"
  fi
  # A server already running for this prefix (another run in the same build
  # folder) is used as it is, and left to its owner to stop.
  if WINEPREFIX=$prefix "$WINESERVER" -p </dev/null >/dev/null 2>&1; then OWNED_PREFIXES+=("$prefix"); fi
  WINEPREFIX=$prefix WINEARCH=$arch "$loader" wineboot -i </dev/null >/dev/null 2>&1 || true
}

# Gone for good, its registry saved, before a server for the same prefix may
# start again (the desk's starts on another display).
stop_prefix() {
  WINEPREFIX=$1 "$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
  WINEPREFIX=$1 timeout 60 "$WINESERVER" -w </dev/null >/dev/null 2>&1 || true
}

stop_owned_prefixes() {
  local prefix
  for prefix in "${OWNED_PREFIXES[@]}"; do stop_prefix "$prefix"; done
  OWNED_PREFIXES=()
}

# Wine takes its monitors from the X server when its desktop process starts,
# and a program that starts before that is done may find the one monitor of
# the display the prefix last ran on: once a whole desk pass saw one monitor.
# Waits (bounded) until the probe reports two; a prefix that still sees one
# after a while is started again, once.
await_two_monitors() {
  local prefix=$1 arch=$2 loader=$3 probe=$4 seen= attempt look
  for attempt in 1 2; do
    for look in $(seq 40); do
      seen=$(WINEPREFIX=$prefix timeout 60 "$loader" "$probe" </dev/null 2>/dev/null | tr -d '\r')
      if [ "$seen" = 2 ]; then
        [ "$attempt$look" = 11 ] || echo "(Wine saw the desk's two monitors at look $look of start $attempt)"
        return 0
      fi
      sleep 0.25
    done
    [ "$attempt" = 1 ] && { stop_owned_prefixes; start_prefix "$prefix" "$arch" "$loader"; }
  done
  echo "(Wine reports ${seen:-no} monitors on the two-monitor desk: the screen tests will say so)"
}
