# Sourced by scripts/cross-aarch64, scripts/board-python.sh and scripts/wheels (not a command of
# its own): Debian bullseye's GCC 10 and a sysroot of bullseye's packages for
# one architecture, from Debian's archive.  bullseye is the build floor of the
# board's binary packages: glibc 2.31 (pypylon's aarch64 wheels are
# manylinux_2_31) and GCC 10's C++ runtime.
#
# Packages are fetched with apt-get through a private apt state and unpacked
# with dpkg -x: the machine's own apt set-up and installed packages are left
# alone.  Downloads are kept in the shared cache outside the clone,
# ${XDG_CACHE_HOME:-$HOME/.cache}/zun_camera_basler/debs, so that every clone
# on the machine reuses them; what is unpacked goes into the clone's build/.
#
#   bullseye_host_tools ARCH [PACKAGE...]
#       installs what the host needs to run that toolchain and its programs
#       (with apt-get, as root): for arm64 qemu-user-static and the aarch64
#       binutils, for amd64 the host's binutils; plus the packages named.
#   bullseye_toolchain ARCH
#       GCC 10 producing code for ARCH, unpacked into build/bullseye/toolchain-ARCH:
#       arm64: bullseye's cross compiler for aarch64 (x86-64 programs);
#       amd64: bullseye's own x86-64 compiler.  Sets BULLSEYE_TOOLCHAIN (the
#       folder), BULLSEYE_TRIPLET, BULLSEYE_CC and BULLSEYE_CXX (to be given
#       --sysroot=$BULLSEYE_SYSROOT).
#   bullseye_sysroot ARCH DIR [PACKAGE...]
#       ARCH's C library and C++ runtime with the packages named and all they
#       depend on, unpacked into DIR.  Sets BULLSEYE_SYSROOT.
#   debian_python_headers RELEASE ARCH VERSION DIR
#       the C headers of CPython VERSION for ARCH as Debian RELEASE builds it
#       (bullseye 3.9, bookworm 3.11, trixie 3.13): its package
#       libpythonVERSION-dev alone, from RELEASE's lists in an apt state of
#       their own, unpacked into DIR.  Sets DEBIAN_PYTHON_INCLUDE (the folder
#       of Python.h, with ARCH's pyconfig.h).  What an extension module for
#       that interpreter is compiled against; it links no libpython.
#
# After the calls, BULLSEYE_DEBS lists the package files (name_version_arch.deb)
# unpacked into the toolchain and the sysroots, one a line: what a cache key
# of anything built with them needs.  The caller may define fail MESSAGE and
# step MESSAGE; DEBIAN_MIRROR picks the mirror (default: the machine's own
# Debian mirror, else deb.debian.org).

declare -F fail >/dev/null || fail() { echo "FAILED: $*" >&2; exit 1; }
declare -F step >/dev/null || step() { echo "== $*"; }

BULLSEYE_TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ZUN_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/zun_camera_basler
BULLSEYE_DEBS=
_bullseye_debdir=$ZUN_CACHE/debs

_bullseye_triplet() {
  case $1 in
    arm64) echo aarch64-linux-gnu ;;
    amd64) echo x86_64-linux-gnu ;;
    *) fail "bullseye: no toolchain for architecture '$1' (arm64 or amd64)" ;;
  esac
}

bullseye_host_tools() {
  local arch=$1 p missing=() pkgs
  shift
  # What the compiler's own programs (cc1, cc1plus) are linked against.
  pkgs=(file libisl23 libmpc3 libmpfr6 libgmp10 libzstd1 zlib1g "$@")
  case $arch in
    arm64) pkgs+=(qemu-user-static binutils-aarch64-linux-gnu) ;;
    amd64) pkgs+=(binutils) ;;
    *) _bullseye_triplet "$arch" >/dev/null ;;
  esac
  for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  step "installing host packages: ${missing[*]}"
  [ "$(id -u)" = 0 ] || fail "needs these Debian packages (run as root to install them): ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null || fail "apt-get update failed"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 \
    "${missing[@]}" >/dev/null || fail "could not install ${missing[*]}"
}

# The private apt state: bullseye's lists for arm64 and amd64, an empty list
# of installed packages (so that apt resolves every dependency), and the
# downloaded package files, all under the shared cache.
# With _bullseye_release set to another release (debian_python_headers), the
# same for that release, in an apt state of its own.
_bullseye_release=bullseye
_bullseye_apt_setup() {
  local mirror=${DEBIAN_MIRROR:-} keyring=/usr/share/keyrings/debian-archive-keyring.gpg apt release=$_bullseye_release
  apt=$_bullseye_debdir/apt
  [ "$release" = bullseye ] || apt=$apt-$release
  if [ -z "$mirror" ]; then
    mirror=$(grep -rhoE 'https?://[^[:space:]]+/debian/?([[:space:]]|$)' /etc/apt/sources.list /etc/apt/sources.list.d/ \
               2>/dev/null | head -n1 | tr -d '[:space:]' || true)
  fi
  mirror=${mirror:-http://deb.debian.org/debian}
  mirror=${mirror%/}
  [ -f "$keyring" ] || fail "$keyring missing (package debian-archive-keyring)"
  mkdir -p "$apt/lists/partial" "$_bullseye_debdir/archives/partial" "$apt/preferences.d"
  touch "$apt/status"
  _bullseye_sources="deb [arch=arm64,amd64 signed-by=$keyring] $mirror $release main
deb [arch=arm64,amd64 signed-by=$keyring] $mirror $release-updates main"
  _bullseye_mirror=$mirror _bullseye_aptdir=$apt
  _bullseye_apt=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/nonexistent
                 -o "Dir::Etc::PreferencesParts=$apt/preferences.d" -o Dir::Etc::Preferences=/nonexistent
                 -o "Dir::State=$apt" -o "Dir::State::Lists=$apt/lists" -o "Dir::State::status=$apt/status"
                 -o "Dir::Cache=$apt" -o "Dir::Cache::archives=$_bullseye_debdir/archives"
                 -o APT::Architectures::=arm64 -o APT::Architectures::=amd64
                 -o Debug::NoLocking=1 -o APT::Sandbox::User=root -q=2)
}

_bullseye_update() {
  if [ "$(cat "$_bullseye_aptdir/sources.list" 2>/dev/null)" != "$_bullseye_sources" ] ||
     [ -z "$(ls "$_bullseye_aptdir/lists" | grep -v partial)" ] || [ "$1" = again ]; then
    step "reading Debian $_bullseye_release's package lists from $_bullseye_mirror"
    printf '%s\n' "$_bullseye_sources" >"$_bullseye_aptdir/sources.list"
    apt-get "${_bullseye_apt[@]}" update || fail "apt-get update of $_bullseye_release's lists failed (mirror $_bullseye_mirror)"
  fi
}

# _bullseye_fetch NAME MODE ARCH PACKAGE...: the package files of one request,
# downloaded when missing; their names, one a line, in $_bullseye_files.
# MODE "closure" takes the packages with everything they depend on, "only"
# the packages named.  A request already answered is not asked again.
_bullseye_fetch() {
  local name=$1 mode=$2 arch=$3 key answer f attempt
  shift 3
  _bullseye_apt_setup
  mkdir -p "$_bullseye_debdir/requests"
  key=$(printf '%s\n' "$_bullseye_sources" "$mode" "$arch" "$@" | sha256sum | cut -c1-16)
  answer=$_bullseye_debdir/requests/$name-$key
  if [ -f "$answer" ]; then
    _bullseye_files=$(cat "$answer")
    for f in $_bullseye_files; do [ -f "$_bullseye_debdir/archives/$f" ] || { rm -f "$answer"; break; }; done
    [ -f "$answer" ] && return 0
  fi
  exec 9>"$_bullseye_debdir/.lock"
  flock 9
  for attempt in first again; do
    _bullseye_update $attempt
    if [ "$mode" = closure ]; then
      # The files a fresh installation would unpack ("Inst NAME (VERSION ... [ARCH]) ..."),
      # named as apt names them in its archive folder.
      _bullseye_files=$(apt-get "${_bullseye_apt[@]}" -o APT::Architecture="$arch" -s install \
                          --no-install-recommends "$@" |
                        sed -n 's/^Inst \([^ :]*\)[^ ]* (\([^ ]*\) .*\[\([a-z0-9]*\)\]).*/\1_\2_\3.deb/p' |
                        sed 's/:/%3a/g' | sort) || true
      if [ -n "$_bullseye_files" ] &&
         apt-get "${_bullseye_apt[@]}" -o APT::Architecture="$arch" install --download-only -y \
           --no-install-recommends "$@"; then
        break
      fi
    else
      _bullseye_files=$(apt-get "${_bullseye_apt[@]}" download --print-uris "$@" | awk '{print $2}' | sort) || true
      if [ -n "$_bullseye_files" ] &&
         (cd "$_bullseye_debdir/archives" && apt-get "${_bullseye_apt[@]}" download "$@"); then
        break
      fi
    fi
    [ $attempt = first ] && echo "$_bullseye_release: download failed; reading the package lists again" >&2
  done
  for f in $_bullseye_files; do
    [ -f "$_bullseye_debdir/archives/$f" ] || fail "could not download $f from $_bullseye_release (packages: $*)"
  done
  printf '%s\n' "$_bullseye_files" >"$answer"
  flock -u 9
}

# _bullseye_unpack DIR FILES: DIR holds exactly these package files, unpacked.
# Links that point at absolute paths point into DIR instead, so that the
# compiler and linker, which follow them on this machine, find DIR's files.
_bullseye_unpack() {
  local dir=$1 files=$2 deb link target
  if [ "$(cat "$dir/.debs" 2>/dev/null)" = "$files" ]; then return 0; fi
  step "unpacking $(wc -w <<<"$files") packages into ${dir#"$BULLSEYE_TOP"/}"
  rm -rf "$dir" && mkdir -p "$dir"
  for deb in $files; do dpkg -x "$_bullseye_debdir/archives/$deb" "$dir" || fail "dpkg -x $deb failed"; done
  find "$dir" -type l -lname '/*' | while read -r link; do
    target=$(readlink "$link")
    ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$dir$target")" "$link"
  done
  printf '%s\n' "$files" >"$dir/.debs"
}

bullseye_toolchain() {
  local arch=$1 triplet pkgs dir tool
  triplet=$(_bullseye_triplet "$arch")
  case $arch in
    # The cross compiler with its own copy of the board's C++ runtime headers
    # and libraries; the assembler and linker are the host's binutils.
    arm64) pkgs=(gcc-10-aarch64-linux-gnu-base:amd64 cpp-10-aarch64-linux-gnu:amd64
                 gcc-10-aarch64-linux-gnu:amd64 g++-10-aarch64-linux-gnu:amd64
                 libgcc-10-dev-arm64-cross libgcc-s1-arm64-cross
                 libstdc++-10-dev-arm64-cross libstdc++6-arm64-cross) ;;
    # bullseye's own compiler and the C++ runtime it links against.
    amd64) pkgs=(gcc-10-base:amd64 cpp-10:amd64 gcc-10:amd64 g++-10:amd64 libgcc-10-dev:amd64
                 libstdc++-10-dev:amd64 libstdc++6:amd64 libgcc-s1:amd64) ;;
  esac
  _bullseye_fetch "toolchain-$arch" only "$arch" "${pkgs[@]}"
  dir=$BULLSEYE_TOP/build/bullseye/toolchain-$arch
  _bullseye_unpack "$dir" "$_bullseye_files"
  if [ "$arch" = arm64 ]; then
    mkdir -p "$dir/usr/$triplet/bin"
    for tool in as ld ld.bfd; do ln -sfn "/usr/bin/$triplet-$tool" "$dir/usr/$triplet/bin/$tool"; done
    BULLSEYE_CC=$dir/usr/bin/$triplet-gcc-10 BULLSEYE_CXX=$dir/usr/bin/$triplet-g++-10
  else
    BULLSEYE_CC=$dir/usr/bin/gcc-10 BULLSEYE_CXX=$dir/usr/bin/g++-10
  fi
  [ -x "$BULLSEYE_CXX" ] || fail "compiler missing after unpacking: $BULLSEYE_CXX"
  BULLSEYE_TRIPLET=$triplet BULLSEYE_TOOLCHAIN=$dir
  BULLSEYE_DEBS=$(printf '%s\n' $BULLSEYE_DEBS $_bullseye_files | sort -u)
}

bullseye_sysroot() {
  local arch=$1 dir=$2
  shift 2
  _bullseye_triplet "$arch" >/dev/null
  _bullseye_fetch "sysroot-$arch" closure "$arch" libc6-dev libstdc++6 "$@"
  _bullseye_unpack "$dir" "$_bullseye_files"
  BULLSEYE_SYSROOT=$dir
  BULLSEYE_DEBS=$(printf '%s\n' $BULLSEYE_DEBS $_bullseye_files | sort -u)
}

debian_python_headers() {
  local release=$1 arch=$2 version=$3 dir=$4 triplet
  triplet=$(_bullseye_triplet "$arch")
  _bullseye_release=$release
  _bullseye_fetch "python$version-headers-$release-$arch" only "$arch" "libpython$version-dev:$arch"
  _bullseye_release=bullseye
  _bullseye_unpack "$dir" "$_bullseye_files"
  DEBIAN_PYTHON_INCLUDE=$dir/usr/include/python$version
  # Debian's pyconfig.h only picks the one of the compiler's architecture from
  # the multiarch folder; the folder on its own is the target's headers when
  # that one stands in its place.
  if [ -f "$dir/usr/include/$triplet/python$version/pyconfig.h" ]; then
    cp "$dir/usr/include/$triplet/python$version/pyconfig.h" "$DEBIAN_PYTHON_INCLUDE/pyconfig.h"
  fi
  [ -f "$DEBIAN_PYTHON_INCLUDE/Python.h" ] && grep -q '^#define SIZEOF_VOID_P 8' "$DEBIAN_PYTHON_INCLUDE/pyconfig.h" ||
    fail "no headers of CPython $version for $arch in $(cat "$dir/.debs")"
}
