# Sourced (not a command of its own), after scripts/bullseye.sh: the board's
# interpreter, CPython 3.7.4 for AArch64, cross-built with bullseye's GCC 10
# against a bullseye arm64 sysroot, and an environment that runs it under
# qemu user-mode emulation on an x86-64 machine.
#
#   board_python SYSROOT_DIR
#       unpacks the sysroot the interpreter is built against and runs on
#       (bullseye_sysroot arm64 with the -dev packages of zlib, libffi,
#       OpenSSL, bzip2, xz and sqlite) and the toolchain, then builds CPython
#       3.7.4 from its source tarball unless the shared cache has it.  Sets
#         BOARD_PYTHON          the interpreter (an AArch64 program)
#         BOARD_PYTHON_HOME     its installation prefix (bin/, lib/, include/)
#         BOARD_PYTHON_INCLUDE  its headers (include/python3.7m)
#         BOARD_SYSROOT         the sysroot (qemu-aarch64-static -L $BOARD_SYSROOT)
#         BOARD_HOST_PYTHON     the CPython 3.7 of this machine it was built with,
#                               whose pip resolves packages for the board's 3.7
#   board_python_env DIR
#       a virtual environment of that interpreter in DIR: DIR/bin/python3.7
#       (also python3, python) is a small shell script that runs the
#       interpreter under qemu-aarch64-static, so that sys.executable is that
#       script and child interpreters started with it run emulated too;
#       packages go into DIR/lib/python3.7/site-packages.
#
# The source is ../shared/board/cpython-3.7.4.tar.xz beside the clone
# (BOARD_CPYTHON_TARBALL names another copy); its sha256 is checked.  The
# built interpreter is kept in
# ${XDG_CACHE_HOME:-$HOME/.cache}/zun_camera_basler/cpython-3.7.4-aarch64-KEY,
# KEY a hash of everything that goes into it: the source's hash, the package
# files of the toolchain and the sysroot, the configure options and site
# settings, the build interpreter's version and the build steps themselves.
# The build needs a CPython 3.7 for this machine (pyenv's, else python3.7 on
# PATH; BOARD_BUILD_PYTHON names one) and takes 2 to 3 minutes on two cores.

BOARD_CPYTHON_VERSION=3.7.4
BOARD_CPYTHON_SHA256=a4969b6a6fae69a5ff34504b63e758bce152e5684180e077fb38ad004c8fb57e
# The arm64 development packages of what the standard library's extension
# modules wrap: zlib, _ctypes, _ssl and _hashlib, _bz2, _lzma, _sqlite3, _uuid.
BOARD_SYSROOT_PACKAGES=(zlib1g-dev libffi-dev libssl-dev libbz2-dev liblzma-dev libsqlite3-dev uuid-dev)
BOARD_PYTHON_MODULES="zlib _ctypes _ssl _hashlib _bz2 _lzma _sqlite3 _uuid"
# ... and what a native build has: the shortest repr of floats, time.tzset.

_board_build_python() {
  local version
  if [ -n "${BOARD_BUILD_PYTHON:-}" ]; then echo "$BOARD_BUILD_PYTHON"; return; fi
  if command -v pyenv >/dev/null; then
    version=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.7\.[0-9]+$' | sort -V | tail -1)
    if [ -n "$version" ] && [ -x "$(pyenv prefix "$version")/bin/python3.7" ]; then
      echo "$(pyenv prefix "$version")/bin/python3.7"; return
    fi
  fi
  command -v python3.7 || fail "building CPython $BOARD_CPYTHON_VERSION for AArch64 needs a CPython 3.7 for this machine (pyenv's, python3.7 on PATH, or BOARD_BUILD_PYTHON)"
}

# What configure finds out by running test programs, which it cannot do for
# another processor: the answers of a native build on an AArch64 Linux board
# with glibc.  Left to configure's cautious defaults, repr(float) falls back
# to 17 digits (no IEEE double found), time.tzset and computed gotos are left
# out, and sem_getvalue counts as broken.
_board_config_site='ac_cv_file__dev_ptmx=yes
ac_cv_file__dev_ptc=no
ac_cv_buggy_getaddrinfo=no
ac_cv_little_endian_double=yes
ac_cv_big_endian_double=no
ac_cv_mixed_endian_double=no
ac_cv_x87_double_rounding=no
ac_cv_tanh_preserves_zero_sign=yes
ac_cv_log1p_drops_zero_sign=no
ac_cv_aligned_required=no
ac_cv_computed_gotos=yes
ac_cv_working_tzset=yes
ac_cv_broken_sem_getvalue=no
ac_cv_posix_semaphores_enabled=yes
ac_cv_pthread_system_supported=yes
ac_cv_wchar_t_signed=no
ac_cv_rshift_extends_sign=yes
ac_cv_broken_nice=no
ac_cv_broken_poll=no
ac_cv_broken_mbstowcs=no'

# _board_cpython_build SRC_TARBALL DEST BUILD_PYTHON: configure, make, install
# into DEST (a temporary folder; the caller moves it into place).
_board_cpython_build() {
  local tarball=$1 dest=$2 build_python=$3 work
  work=$dest.work
  rm -rf "$work" && mkdir -p "$work"
  tar -xJf "$tarball" -C "$work" || fail "could not unpack $tarball"
  printf '%s\n' "$_board_config_site" >"$work/config.site"
  (
    cd "$work/Python-$BOARD_CPYTHON_VERSION"
    # configure looks for the build interpreter as python3.7 on PATH.  The
    # sysroot's pkg-config files describe the board's libraries; its
    # /usr/include is left out of their answers as on the board, where the
    # compiler looks there and in the multiarch folder beside it anyway
    # (libffi's header is in the latter).
    mkdir -p "$work/bin" && ln -s "$build_python" "$work/bin/python3.7"
    export PATH="$work/bin:$PATH" CONFIG_SITE="$work/config.site"
    export PKG_CONFIG_SYSROOT_DIR=$BOARD_SYSROOT PKG_CONFIG_SYSTEM_INCLUDE_PATH=$BOARD_SYSROOT/usr/include
    export PKG_CONFIG_LIBDIR=$BOARD_SYSROOT/usr/lib/aarch64-linux-gnu/pkgconfig:$BOARD_SYSROOT/usr/share/pkgconfig
    # --enable-shared: pypylon's extension links libpython3.7m.so.1.0.  The
    # interpreter finds that library beside itself ($ORIGIN/../lib), so that
    # nothing has to be set in the environment it passes on to its children.
    ./configure --host=aarch64-linux-gnu --build=x86_64-pc-linux-gnu --prefix=/usr/local \
      --enable-shared --enable-ipv6 --without-ensurepip \
      CC="$BULLSEYE_CC --sysroot=$BOARD_SYSROOT" CXX="$BULLSEYE_CXX --sysroot=$BOARD_SYSROOT" \
      READELF=aarch64-linux-gnu-readelf LDFLAGS='-Wl,-rpath,\$$ORIGIN/../lib' \
      >"$work/configure.log" 2>&1 || { tail -n 30 "$work/configure.log" >&2; exit 1; }
    make -j"$(nproc)" >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; exit 1; }
    make install DESTDIR="$work/root" >"$work/install.log" 2>&1 || { tail -n 30 "$work/install.log" >&2; exit 1; }
    # What the standard library could not build (setup.py's own summary).
    sed -n '/^Python build finished/,/^running build_scripts/p' "$work/make.log" |
      grep -v '^running' >"$work/root/usr/local/build-summary.txt" || true
  ) || fail "the cross build of CPython $BOARD_CPYTHON_VERSION failed (logs in $work)"
  mv "$work/root/usr/local" "$dest"
  rm -rf "$work"
}

board_python() {
  local dir=$1 tarball build_python key home
  bullseye_toolchain arm64
  bullseye_sysroot arm64 "$dir" "${BOARD_SYSROOT_PACKAGES[@]}"
  BOARD_SYSROOT=$BULLSEYE_SYSROOT
  tarball=$(realpath -m "${BOARD_CPYTHON_TARBALL:-$BULLSEYE_TOP/../shared/board/cpython-$BOARD_CPYTHON_VERSION.tar.xz}")
  [ -f "$tarball" ] || fail "CPython source not found: $tarball (the board's interpreter is built from it)"
  echo "$BOARD_CPYTHON_SHA256  $tarball" | sha256sum -c --quiet - >/dev/null 2>&1 ||
    fail "$tarball: sha256 is not $BOARD_CPYTHON_SHA256"
  build_python=$(_board_build_python)
  key=$(printf '%s\n' "$BOARD_CPYTHON_SHA256" "$(cat "$BULLSEYE_TOOLCHAIN/.debs" "$BOARD_SYSROOT/.debs")" \
          "$_board_config_site" \
          "$("$build_python" -c 'import sys; print(sys.version)')" "$(declare -f _board_cpython_build)" |
        sha256sum | cut -c1-16)
  home=$ZUN_CACHE/cpython-$BOARD_CPYTHON_VERSION-aarch64-$key
  if [ ! -x "$home/bin/python3.7" ]; then
    mkdir -p "$ZUN_CACHE"
    exec 8>"$home.lock"
    flock 8   # another clone may be building the same interpreter
    if [ ! -x "$home/bin/python3.7" ]; then
      step "cross-building CPython $BOARD_CPYTHON_VERSION for AArch64 (build interpreter $build_python)"
      rm -rf "$home.tmp"
      _board_cpython_build "$tarball" "$home.tmp" "$build_python"
      qemu-aarch64-static -L "$BOARD_SYSROOT" "$home.tmp/bin/python3.7" -c "
import importlib.util, sys
missing = [name for name in sys.argv[1].split() if not importlib.util.find_spec(name)]
import time
missing += [] if sys.float_repr_style == 'short' else ['short float repr']
missing += [] if hasattr(time, 'tzset') else ['time.tzset']
sys.exit('not built: ' + ', '.join(missing) if missing else 0)" "$BOARD_PYTHON_MODULES" ||
        fail "the built interpreter lacks parts of its standard library (see $home.tmp/build-summary.txt)"
      mv "$home.tmp" "$home"
    fi
    flock -u 8
  fi
  BOARD_PYTHON_HOME=$home
  BOARD_HOST_PYTHON=$build_python
  BOARD_PYTHON=$home/bin/python3.7
  BOARD_PYTHON_INCLUDE=$home/include/python3.7m
  [ -f "$BOARD_PYTHON_INCLUDE/Python.h" ] || fail "no Python.h in $BOARD_PYTHON_INCLUDE"
}

board_python_env() {
  local env=$1 qemu
  qemu=$(command -v qemu-aarch64-static) || fail "qemu-aarch64-static not found (package qemu-user-static)"
  mkdir -p "$env/bin" "$env/lib/python3.7/site-packages"
  printf 'home = %s\ninclude-system-site-packages = false\nversion = %s\n' \
    "$BOARD_PYTHON_HOME/bin" "$BOARD_CPYTHON_VERSION" >"$env/pyvenv.cfg"
  # -0 hands the interpreter this script's path as its argv[0]: Python takes
  # sys.executable and its environment (pyvenv.cfg) from there.
  cat >"$env/bin/python3.7" <<EOF
#!/bin/sh
# CPython $BOARD_CPYTHON_VERSION for AArch64 under user-mode emulation (scripts/board-python.sh)
exec $qemu -L '$BOARD_SYSROOT' -0 '$env/bin/python3.7' '$BOARD_PYTHON' "\$@"
EOF
  chmod +x "$env/bin/python3.7"
  ln -sfn python3.7 "$env/bin/python3"
  ln -sfn python3.7 "$env/bin/python"
}
