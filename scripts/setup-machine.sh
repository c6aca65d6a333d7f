#!/usr/bin/env bash
# Installs what building and testing the bootstrapper needs on a Debian 12 machine:
# the mingw-w64 cross compilers (x86 and x64), Wine with its Windows Installer, wixl and
# msitools for packages, osslsigncode and openssl for Authenticode (with SoftHSM2 and OpenSSL's
# PKCS#11 engine, to sign with a key in a token), Xvfb for windows, the host tools (cmake,
# g++, clang, GoogleTest) and NSIS, whose installer the benchmark measures setup.exe against.
# Quick when everything is already there: no apt at all.
#
# The 32-bit Wine (wine32:i386, and the i386 architecture it needs) only where this machine runs
# 32-bit programs (scripts/runs-32bit.sh): elsewhere it cannot start, and once installed the
# `wine` command picks it and nothing runs. BOOTSTRAPPER_64BIT_ONLY=1 sets up as for such a
# machine. Needs root or sudo. A failure ends with one sentence; apt's output stays in a log in
# $TMPDIR (/tmp by default).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

packages=(
  cmake g++ make python3 clang libclang-rt-14-dev llvm googletest libgtest-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools
  wine wine64
  wixl msitools osslsigncode openssl softhsm2 libengine-pkcs11-openssl
  xvfb xauth x11-utils
  nsis
)
update_attempts=3
update_pause=5   # seconds between attempts of apt-get update

say() { echo "setup-machine: $*"; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

if [ "${BOOTSTRAPPER_64BIT_ONLY:-}" = 1 ]; then
  say "BOOTSTRAPPER_64BIT_ONLY=1: installing for the x64 flavour only, as on a machine that" \
      "cannot run 32-bit programs"
elif why=$("$here/runs-32bit.sh"); then
  packages+=(wine32:i386)
  say "this machine runs 32-bit programs; installing for the x86 and x64 flavours"
else
  say "this machine cannot run 32-bit programs ($why); installing for the x64 flavour only"
  if installed wine32:i386; then
    say "wine32:i386 is installed but cannot run here, and the wine command starts it:" \
        "remove it (apt-get remove wine32:i386)"
  fi
fi

# One query for the whole list (one per package takes two seconds) gives "name:arch" of each
# installed one; a name without an architecture means the machine's own or "all".
native=$(dpkg --print-architecture)
declare -A present=()
while read -r p; do
  present[$p]=1
done < <(dpkg-query -W -f='${Package}:${Architecture} ${Status}\n' "${packages[@]}" 2>/dev/null |
         sed -n 's/ install ok installed$//p')
missing=()
for p in "${packages[@]}"; do
  [[ -n ${present[$p]:-}${present[$p:$native]:-}${present[$p:all]:-} ]] || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
say "installing ${missing[*]}"

log=$(mktemp "${TMPDIR:-/tmp}/setup-machine.XXXXXX.log")
scratch=$(mktemp -d)   # each apt-get's own output, read for its errors
trap 'rm -rf "$scratch"' EXIT
fail() {
  say "cannot install ${missing[*]}: $*; apt's output is in $log"
  exit 1
}

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || fail "this needs root, and sudo is not installed"
  sudo="sudo"
fi

# The last "E:" line of apt's output in $1, without the "E: ", or its last line.
apt_error() {
  local line
  line=$(grep '^E: ' "$1" | tail -n1)
  line=${line:-$(tail -n1 "$1")}
  line=${line#E: }
  echo "${line%.}"
}

# apt-get update says "Get:N"/"Hit:N" for each index it fetches or finds current and "Err:N",
# followed by an indented reason, for one it could not fetch (a Get may come before the Err of the
# same N). In $1, apt-get update's output: "index (reason)" of each failed index.
failed_indexes() {
  awk '/^Err:[0-9]+ / { sub(/^Err:[0-9]+ /, ""); index_name = $0
                        getline reason; sub(/^ +/, "", reason); sub(/ *\[IP: [^]]*\]$/, "", reason)
                        print index_name " (" reason ")" }' "$1"
}

# The number of indexes that did update.
updated_indexes() {
  comm -23 <(sed -n 's/^\(Get\|Hit\):\([0-9]*\) .*/\2/p' "$1" | sort -u) \
           <(sed -n 's/^Err:\([0-9]*\) .*/\1/p' "$1" | sort -u) | wc -l
}

# Retried, since a mirror may be caught in the middle of a sync. One index that still fails does
# not stop the install: apt-get exits 100 for it, but the others are current and serve it.
update_indexes() {
  local attempt status output=$scratch/update failed=""
  for ((attempt = 1; attempt <= update_attempts; attempt++)); do
    [ "$attempt" -gt 1 ] && sleep "$update_pause"
    status=0
    $sudo apt-get update >"$output" 2>&1 || status=$?
    cat "$output" >>"$log"
    failed=$(failed_indexes "$output")
    if [ "$status" -eq 0 ] && [ -z "$failed" ]; then
      return 0
    fi
  done
  if [ -n "$failed" ] && [ "$(updated_indexes "$output")" -gt 0 ]; then
    if [ "$(wc -l <<<"$failed")" -eq 1 ]; then
      say "one package index did not update and is left out: $failed"
    else
      say "$(wc -l <<<"$failed") package indexes did not update and are left out:" \
          "$(paste -sd';' <<<"$failed" | sed 's/;/; /g')"
    fi
    return 0
  fi
  if [ -n "$failed" ]; then
    fail "the package index is unreachable (apt-get update failed $update_attempts times:" \
         "$(head -n1 <<<"$failed"))"
  fi
  fail "apt-get update failed $update_attempts times ($(apt_error "$output"))"
}

# $1: the file for apt's output; the rest: apt-get install options.
install_missing() {
  local output=$1
  shift
  $sudo env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "$@" "${missing[@]}" >"$output" 2>&1
  local status=$?
  cat "$output" >>"$log"
  return $status
}

if [[ " ${missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386 >>"$log" 2>&1 || fail "dpkg cannot add the i386 architecture"
fi
update_indexes

output=$scratch/install
if ! install_missing "$output"; then
  # With an index missing, or a suite such as the security one ahead of the others, the newest
  # candidate of a library may exist for amd64 and not for i386. The stable release alone has
  # both at the same version.
  codename=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release 2>/dev/null | tr -d '"')
  if ! grep -qi 'held broken packages\|unmet dependencies' "$output" || [ -z "$codename" ]; then
    fail "apt-get install failed ($(apt_error "$output"))"
  fi
  say "apt-get install found unmet dependencies (versions out of step between suites or" \
      "architectures); trying again with $codename pinned"
  install_missing "$output" -t "$codename" ||
    fail "the dependencies cannot be met, even with $codename pinned ($(apt_error "$output"))"
fi
rm -f "$log"
