#!/usr/bin/env bash
# The demo: builds the downloader, serves a generated game from a patch
# server on loopback and lets the downloader fetch it with its built-in
# file-list address, then start the game's "installer".
#
#   bash tools/demo.sh              the job through the download engine
#   bash tools/demo.sh --no-engine  no engine installed: the direct downloader
#
# With a display (DISPLAY set) and the window program built, the window
# program runs; otherwise the terminal program does. The servers and the
# downloader's files, data and settings live in one temporary folder that is
# removed at the end, also on Ctrl-C.
#
#   BUILD_DIR   build folder (default build/, shared with tools/test.sh)
#   DEMO_RATE   the patch server's rate per connection (default 3m, nginx units)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build}
rate=${DEMO_RATE:-3m}
use_engine=1
for arg in "$@"; do
  case "$arg" in
    --no-engine) use_engine=0 ;;
    *) echo "usage: bash tools/demo.sh [--no-engine]" >&2; exit 2 ;;
  esac
done
work=""
nginx_pid=""
report_pid=""

cleanup() {
  trap - EXIT INT TERM
  # Children started with & ignore SIGINT (no job control), so they are
  # stopped here, whatever ended the script.
  for pid in $report_pid $nginx_pid; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in $report_pid $nginx_pid; do
    wait "$pid" 2>/dev/null || true
  done
  if [ -n "$work" ]; then rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'echo; echo "demo: interrupted, cleaning up"; exit 130' INT
trap 'exit 143' TERM

say() { printf '\n== %s\n' "$*"; }

# --- build -----------------------------------------------------------------
say "installing what is missing and building into $build/"
bash tools/setup.sh
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j2 --target tlxdownloader-cli report-server tlx-engine
window_program="$build/bin/tlxdownloader"
if [ -n "${DISPLAY:-}" ] && ninja -C "$build" -t query tlxdownloader >/dev/null 2>&1; then
  cmake --build "$build" -j2 --target tlxdownloader ||
    echo "demo: the window program did not build; the terminal program runs instead"
fi

# --- content ---------------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/zk4demo.XXXXXX")
www="$work/www"
list_dir="$www/download/zk4/tlxdownload"   # the built-in file-list path
files_dir="$www/download/zk4/files"
mkdir -p "$list_dir" "$files_dir" "$work/nginx" "$work/home" "$work/downloads"

say "generating the demo game in $work"
cat >"$files_dir/ZK4Setup.exe" <<'EOF'
#!/bin/sh
# The demo's stand-in for the game's installer.
echo "ZK4Setup.exe: the ZK4 installer has started (demo stand-in at $0)"
EOF
# name and size in MiB; about 100 MiB in all
data_files=("ZK4_Data1.pak 40" "ZK4_Data2.pak 30" "ZK4_Movies.pak 18" "ZK4_Sound.pak 9"
            "ZK4_Patch.pak 3")
for entry in "${data_files[@]}"; do
  set -- $entry
  head -c $(($2 * 1048576)) /dev/urandom >"$files_dir/$1"
done

# --- servers ---------------------------------------------------------------
port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

start_nginx() {
  local attempt i
  for attempt in $(seq 1 20); do
    port=$((20000 + RANDOM % 40000))
    port_in_use "$port" && continue
    cat >"$work/nginx/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
error_log $work/nginx/error.log warn;
pid $work/nginx/nginx.pid;
events { worker_connections 64; }
http {
  access_log off;
  default_type application/octet-stream;
  sendfile on;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$port;
    root $www;
    # Slow enough to watch the progress.
    location /download/zk4/files/ { limit_rate $rate; }
  }
}
EOF
    /usr/sbin/nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e stderr 2>>"$work/nginx/stderr.log" &
    nginx_pid=$!
    for i in $(seq 1 100); do
      port_in_use "$port" && return 0
      kill -0 "$nginx_pid" 2>/dev/null || break
      sleep 0.05
    done
    kill -TERM "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
    nginx_pid=""
  done
  echo "demo: nginx did not start:" >&2
  cat "$work/nginx/stderr.log" >&2
  return 1
}

start_report_server() {
  local i
  "$build/tools/report-server" --port 0 >"$work/reports.jsonl" &
  report_pid=$!
  for i in $(seq 1 100); do
    report_port=$(sed -n '1s/.*"port":\([0-9]*\).*/\1/p' "$work/reports.jsonl")
    [ -n "$report_port" ] && return 0
    sleep 0.05
  done
  echo "demo: the report server did not start" >&2
  return 1
}

start_nginx
start_report_server
{
  echo "http://127.0.0.1:$port/download/zk4/files/ZK4Setup.exe"
  for entry in "${data_files[@]}"; do
    set -- $entry
    echo "http://127.0.0.1:$port/download/zk4/files/$1"
  done
} >"$list_dir/filelist.txt"

say "patch server: nginx on 127.0.0.1:$port (limit_rate $rate), report server on 127.0.0.1:$report_port"
echo "file list at the built-in path /download/zk4/tlxdownload/filelist.txt:"
sed 's/^/  /' "$list_dir/filelist.txt"

# The program finds the servers through its run-time overrides; the file
# list keeps its built-in address. Its data and settings stay in the demo's
# folder. The servers are on loopback, so the network check is forced up.
export TLX_PATCH_SERVER="127.0.0.1:$port"
export TLX_REPORT_SERVER="127.0.0.1:$report_port"
export TLX_NETWORK=up
export XDG_DATA_HOME="$work/home/.local/share"
export XDG_CONFIG_HOME="$work/home/.config"

# The download engine lives in the data folder; the service starts it and
# hands it the job. Its port is a free one, so that a real engine of another
# session is never disturbed.
engine_dir="$XDG_DATA_HOME/Norvex/tlxDownloadV32"
if [ "$use_engine" = 1 ]; then
  for attempt in $(seq 1 20); do
    engine_port=$((20000 + RANDOM % 40000))
    port_in_use "$engine_port" || break
  done
  export TLX_ENGINE_PORT=$engine_port
  export TLX_ENGINE_IDLE_EXIT=3
  mkdir -p "$engine_dir"
  cp "$build/bin/TLXDownloadV32.exe" "$engine_dir/"
  say "download engine installed in $engine_dir (port $engine_port)"
else
  say "no download engine installed (--no-engine): the job is fetched directly"
fi

# --- run -------------------------------------------------------------------
status=0
if [ -n "${DISPLAY:-}" ] && [ -x "$window_program" ]; then
  say "running the window program (downloads go to $work/home/tovalen/ZK4/)"
  HOME="$work/home" "$window_program" || status=$?
  downloads="$work/home/tovalen/ZK4"
else
  [ -n "${DISPLAY:-}" ] && echo "demo: no window program in $build/bin/; using the terminal program"
  say "running: tlxdownloader-cli --folder $work/downloads"
  # Its single-instance lock file goes there too.
  mkdir -m 700 "$work/run"
  XDG_RUNTIME_DIR="$work/run" "$build/bin/tlxdownloader-cli" --folder "$work/downloads" ||
    status=$?
  downloads="$work/downloads"
fi

say "the downloader ended with status $status; downloaded files:"
ls -l "$downloads" 2>/dev/null | sed -n '2,$p' | sed 's/^/  /' || true
for log in "$XDG_DATA_HOME"/Norvex/*/config/*.txt "$XDG_DATA_HOME"/Norvex/*/config/*.log; do
  [ -f "$log" ] || continue
  echo "engine and link lines of ${log#$work/}:"
  grep -E "Execute|WFII|localClosed|MaxTry|direct download|Engine|Job [0-9]+ (accepted|done)|finished" "$log" |
    head -20 | sed 's/^/  /' || true
done
echo "reports received by the report server:"
sed -n '2,$p' "$work/reports.jsonl" | sed 's/^/  /'
echo "stopping the servers and removing $work"
exit "$status"
