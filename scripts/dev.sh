#!/usr/bin/env bash
# The project's entry script.
#   scripts/dev.sh demo   install what is missing, build, run the demo host
#   scripts/dev.sh test   install what is missing, build, run every test leg
#   scripts/dev.sh test-linux    only the Linux legs: default, sanitizers, fuzzing
#   scripts/dev.sh test-windows  only the Windows leg: cross build, tests under Wine
#   scripts/dev.sh setup  only install what is missing
set -euo pipefail
cd "$(dirname "$0")/.."

# Debian packages the build and the tests need.
PACKAGES=(
  build-essential cmake ninja-build pkg-config
  rapidjson-dev libasio-dev libgtest-dev libgmock-dev libbenchmark-dev
  libpng-dev libx11-dev xvfb xauth x11-apps
  clang lld libclang-rt-14-dev
)
# Only the test command's Windows leg needs these.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix wine wine64 googletest)

log() { printf '\n== %s\n' "$*"; }

# Installs what is missing of PACKAGES and of the lists named as arguments.
setup() {
  local wanted=("${PACKAGES[@]}") missing=()
  for list in "$@"; do
    local -n extra=$list
    wanted+=("${extra[@]}")
  done
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    log "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

build() {
  local preset=$1
  log "configure and build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
}

# Tests run under a virtual X display so that the reference tool captures a
# real screen.
run_tests() {
  local preset=$1
  log "tests: $preset"
  if [ -z "${DISPLAY:-}" ]; then
    xvfb-run -a -s "-screen 0 1024x768x24" ctest --preset "$preset"
  else
    ctest --preset "$preset"
  fi
}

# Each fuzz target runs for FUZZ_SECONDS on its seed corpus (copied, so the
# tree's corpus stays small).
fuzz_all() {
  log "configure and build: fuzz"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz --target fuzzers
  local seconds=${FUZZ_SECONDS:-30}
  for target in build/fuzz/bin/*_fuzzer; do
    [ -x "$target" ] || continue
    local name corpus work
    name=$(basename "$target")
    corpus=fuzz/corpus/$name
    work=$(mktemp -d)
    [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
    log "fuzz: $name for ${seconds}s"
    "$target" -max_total_time="$seconds" -print_final_stats=0 "$work" 2>&1 | tail -n 3
    rm -rf "$work"
  done
}

demo() {
  setup
  build default
  local demo=build/default/bin/snipping_demo_host
  if [ ! -x "$demo" ]; then
    log "the demo host is not there yet: everything is built, there is nothing to run"
    return 0
  fi
  log "demo: one shot through the reference snipping tool"
  if [ -z "${DISPLAY:-}" ]; then
    # A virtual display with one real window on it, so the captured PNG
    # shows something.
    xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
      xlogo -geometry 480x360+400+220 -bg white -fg navy & logo=$!
      sleep 0.5
      "$0" "$@"; status=$?
      kill $logo 2>/dev/null
      exit $status' "$demo" "$@"
  else
    "$demo" "$@"
  fi
}

# The Windows leg: the mingw-w64 cross build (preset mingw) with its tests
# run under Wine, in a Wine prefix of its own inside the build directory so
# that nothing of the user's ~/.wine is touched or relied on. The prefix's
# wineserver is stopped at the end, also when the leg fails.
windows_leg() (
  export WINEPREFIX="$PWD/build/mingw/wineprefix"
  export WINEDEBUG=-all
  # No Mono or Gecko: nothing here needs them, and their installers would ask.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  mkdir -p build/mingw
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    log "creating the Wine prefix $WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
  # The build lists each test executable's tests, which runs it under Wine.
  build mingw
  # The wineserver of the build ran without a display; the tests get a
  # fresh one under the virtual display, which the screen capture needs.
  # It stays up for the whole run, with Wine's own services started once
  # before the first test: otherwise every test that starts after a quiet
  # moment pays seconds for Wine starting up again.
  wineserver -k >/dev/null 2>&1 || true
  log "tests: mingw"
  local run='wineserver -p && wine wineboot >/dev/null 2>&1
    ctest --preset mingw; status=$?
    wineserver -k >/dev/null 2>&1; exit $status'
  if [ -z "${DISPLAY:-}" ]; then
    xvfb-run -a -s "-screen 0 1024x768x24" bash -c "$run"
  else
    bash -c "$run"
  fi
)

# The annotated session of docs/tool-guide.md is generated from a real cold
# shot; a difference means the protocol or the guide's session moved.
check_session() {
  log "annotated session: docs/tool-session.md"
  local run=(build/default/bin/tool_session_generator build/default/bin/libsnipping_tool_agent.so
             build/default/bin/QuilloSnippingTool.exe docs/tool-session.md)
  [ -n "${DISPLAY:-}" ] || run=(xvfb-run -a -s "-screen 0 1024x768x24" "${run[@]}")
  local output
  if ! output=$("${run[@]}" 2>&1); then
    printf '%s\n' "$output"
    return 1
  fi
  git diff --exit-code -- docs/tool-session.md
}

linux_legs() {
  build default
  run_tests default
  check_session
  build asan
  run_tests asan
  build tsan
  run_tests tsan
  fuzz_all
}

test_all() {
  setup WINDOWS_PACKAGES
  linux_legs
  windows_leg
}

test_linux() {
  setup
  linux_legs
}

test_windows() {
  setup WINDOWS_PACKAGES
  windows_leg
}

case "${1:-}" in
  setup) setup ;;
  demo) shift; demo "$@" ;;
  test) test_all ;;
  test-linux) test_linux ;;
  test-windows) test_windows ;;
  *) echo "usage: $0 demo|test|test-linux|test-windows|setup" >&2; exit 2 ;;
esac
