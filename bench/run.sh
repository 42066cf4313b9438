#!/usr/bin/env bash
# Builds a release pakwright in build-bench/ and times it against GNU tar; see
# bench/pakbench.py, or `bash bench/run.sh --help` for the options. Other
# builds to time in the same rounds are given as --also NAME=PATH.
# On Debian it first installs what is missing: directly as root, through sudo
# otherwise.
set -euo pipefail
# Paths a user gives (--dir, --also) stay relative to where it was started.
root=$(cd "$(dirname "$0")/.." && pwd)

# The options and their help live in pakbench.py; asking for help builds nothing.
help=0
for arg; do
  case $arg in -h | --h | --he | --hel | --help) help=1 ;; esac
done

missing=()
command -v python3 >/dev/null || missing+=(python3)
if [ $help -eq 0 ]; then
  [ -x /usr/bin/time ] || missing+=(time)
  command -v tar >/dev/null || missing+=(tar)
  command -v cmake >/dev/null || missing+=(cmake)
  command -v g++ >/dev/null || missing+=(g++)
  command -v make >/dev/null || missing+=(make)
  command -v strace >/dev/null || missing+=(strace)
  [ "$(uname -s)" != Linux ] || [ -f /usr/include/liburing.h ] || missing+=(liburing-dev)
fi
"$root/tools/install-packages" ${missing[@]+"${missing[@]}"} || exit 2

export PAKBENCH_PROG="bash bench/run.sh"
[ $help -eq 0 ] || exec python3 "$root/bench/pakbench.py" --help
cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DPAKWRIGHT_TESTS=OFF >/dev/null
cmake --build "$root/build-bench" -j 2 >/dev/null
exec python3 "$root/bench/pakbench.py" --pakwright "$root/build-bench/pakwright" "$@"
