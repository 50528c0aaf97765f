# Sourced by the other scripts (not a command of its own): which interpreter,
# and where its virtual environment and build folder are.
#
#   PYTHON unset        python3, with .venv and build/
#   PYTHON=/path/to/py  that interpreter, with .venv-X.Y and build-X.Y/ (X.Y its
#                       version), so that several interpreters sit side by side
#   ZUN_SANITIZE=1      the build folder gets "-asan" appended: build-asan/,
#                       build-3.7-asan/ (AddressSanitizer and UBSan)
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [ -n "${PYTHON:-}" ]; then
  py_version=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])') ||
    { echo "PYTHON=$PYTHON does not run as a Python interpreter" >&2; exit 2; }
  VENV=.venv-$py_version
  BUILD=build-$py_version
else
  PYTHON=python3
  py_version=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  VENV=.venv
  BUILD=build
fi
case $py_version in
  2.* | 3.[0-6]) echo "Python $py_version is too old: the module needs CPython 3.7 or newer" >&2; exit 2 ;;
esac
if [ "${ZUN_SANITIZE:-0}" = 1 ]; then
  BUILD=$BUILD-asan
fi

# Creates the virtual environment (again, when the interpreter it was made
# from has changed) and installs requirements-dev.txt when that has changed.
ensure_venv() {
  local want have
  want=$("$PYTHON" -c 'import sys; print(sys.version)')
  have=$("$VENV/bin/python" -c 'import sys; print(sys.version)' 2>/dev/null || true)
  if [ "$want" != "$have" ]; then
    rm -rf "$VENV"
    "$PYTHON" -m venv "$VENV"
  fi
  if ! cmp -s requirements-dev.txt "$VENV/.requirements"; then
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check -r requirements-dev.txt
    cp requirements-dev.txt "$VENV/.requirements"
  fi
}
