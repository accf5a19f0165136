#!/usr/bin/env bash
# The two-player demo: one release, two players on this machine, each with
# its own data folder and its own download engine. The first player fetches
# the game from the file server (the web seed) and keeps sharing it for a
# while; the second player's engine takes the pieces from the first. Then
# the first player's engine is stopped and a third download shows that the
# file server alone still completes the job.
#
#   bash tools/demo-peers.sh
#
#   BUILD_DIR   build folder (default build/)
#   DEMO_RATE   the file server's rate per connection (default 2m, nginx
#               units): players are faster than a busy file server
#
# Everything lives in one temporary folder, removed at the end (also on
# Ctrl-C). Peers are named to each other (TLX_ENGINE_PEERS); local discovery
# is off so that nothing is announced on the LAN.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build}
rate=${DEMO_RATE:-2m}
work=""
nginx_pid=""

engines_of() {  # pids of the engine copies below a data folder
  local exe=$1/Norvex/tlxDownloadV32/TLXDownloadV32.exe pid
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$exe" ] && echo "$pid"
  done
  return 0
}

cleanup() {
  trap - EXIT INT TERM
  if [ -n "$work" ]; then
    for player in a b c; do
      for pid in $(engines_of "$work/$player"); do kill -TERM "$pid" 2>/dev/null || true; done
    done
  fi
  if [ -n "$nginx_pid" ]; then
    kill -TERM "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  if [ -n "$work" ]; then rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'echo; echo "demo: interrupted, cleaning up"; exit 130' INT
trap 'exit 143' TERM

say() { printf '\n== %s\n' "$*"; }
port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
free_port() {
  local p
  for _ in $(seq 1 50); do
    p=$((20000 + RANDOM % 40000))
    port_in_use "$p" || { echo "$p"; return 0; }
  done
  return 1
}

say "installing what is missing and building into $build/"
bash tools/setup.sh
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j2 --target tlxdownloader-cli tlx-engine

work=$(mktemp -d "${TMPDIR:-/tmp}/zk4peers.XXXXXX")
www="$work/www"
list_dir="$www/download/zk4/tlxdownload"
files_dir="$www/download/zk4/files"
mkdir -p "$list_dir" "$files_dir" "$work/nginx"

say "generating the demo game and its release in $work"
printf '#!/bin/sh\necho "ZK4Setup.exe: the ZK4 installer has started (demo stand-in)"\n' \
  >"$files_dir/ZK4Setup.exe"
for entry in "ZK4_Data1.pak 24" "ZK4_Data2.pak 16" "ZK4_Sound.pak 8"; do
  set -- $entry
  head -c $(($2 * 1048576)) /dev/urandom >"$files_dir/$1"
done

port=$(free_port)
cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
error_log $work/nginx/error.log warn;
pid $work/nginx/nginx.pid;
events { worker_connections 64; }
http {
  access_log $work/nginx/access.log;
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
    location /download/zk4/files/ { limit_rate $rate; }
  }
}
CONF
/usr/sbin/nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e stderr 2>>"$work/nginx/stderr.log" &
nginx_pid=$!
for _ in $(seq 1 100); do port_in_use "$port" && break; sleep 0.05; done

# One command publishes the release: the list and one .torrent per file.
/usr/bin/python3 tools/make-release "$files_dir" "http://127.0.0.1:$port/download/zk4/files/" |
  sed 's/^/  /'
mv "$files_dir/filelist.txt" "$list_dir/filelist.txt"
echo "file server: nginx on 127.0.0.1:$port (limit_rate $rate per connection)"

export TLX_PATCH_SERVER="127.0.0.1:$port"
export TLX_REPORT_SERVER="127.0.0.1:1"
export TLX_NETWORK=up
export TLX_ENGINE_LSD=0
peer_port_a=$(free_port)

# play NAME [ENV...]: one player's download with its own data folder,
# engine port and download folder.
play() {
  local name=$1
  shift
  local home="$work/$name"
  mkdir -p "$home/Norvex/tlxDownloadV32" "$home/downloads" "$home/run"
  chmod 700 "$home/run"
  cp "$build/bin/TLXDownloadV32.exe" "$home/Norvex/tlxDownloadV32/"
  local start=$SECONDS status=0
  env XDG_DATA_HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$home/run" \
    TLX_ENGINE_PORT="$(free_port)" "$@" \
    "$build/bin/tlxdownloader-cli" --folder "$home/downloads" --no-install >/dev/null 2>&1 ||
    status=$?
  echo "player $name: status $status after $((SECONDS - start)) s"
  summarize "$name"
}

# Bytes by source from the engine's own log of each file.
summarize() {
  local log="$work/$1/Norvex/tlxDownloadV32/config/engine.log"
  [ -f "$log" ] || { echo "  (no engine log)"; return; }
  { grep -E "bytes from peers" "$log" || true; } | sed 's/^\[[^]]*\] /  /' | sed "s|$work/||"
  awk '/bytes from peers/ { for (i = 1; i <= NF; i++) { if ($(i+1) == "bytes" && $(i+2) == "from") p += $i;
                                                      if ($(i+1) == "from" && $(i+2) == "file") s += $i } }
       END { if (p + s > 0) printf "  in all: %d bytes from peers, %d from the file server (%.0f %% from peers)\n",
                                   p, s, 100 * p / (p + s) }' "$log"
}

say "player a: fetches the game from the file server, then shares it for 120 s"
play a TLX_ENGINE_PEER_LISTEN="127.0.0.1:$peer_port_a" TLX_ENGINE_IDLE_EXIT=120 \
  TLX_ENGINE_SEED_GRACE=120

say "player b: its engine calls player a (TLX_ENGINE_PEERS=127.0.0.1:$peer_port_a)"
play b TLX_ENGINE_PEERS="127.0.0.1:$peer_port_a" TLX_ENGINE_IDLE_EXIT=3
cmp -s "$work/a/downloads/ZK4_Data1.pak" "$work/b/downloads/ZK4_Data1.pak" &&
  cmp -s "$files_dir/ZK4_Data1.pak" "$work/b/downloads/ZK4_Data1.pak" && echo "  player b's files match"

say "player a's engine stops; player c still calls it, and gets the game from the file server"
for pid in $(engines_of "$work/a"); do kill -TERM "$pid"; done
for _ in $(seq 1 100); do [ -z "$(engines_of "$work/a")" ] && break; sleep 0.1; done
grep -E "Stopped seeding" "$work/a/Norvex/tlxDownloadV32/config/engine.log" |
  sed 's/^\[[^]]*\] /  player a: /' | sed "s|$work/||" || true
play c TLX_ENGINE_PEERS="127.0.0.1:$peer_port_a" TLX_ENGINE_IDLE_EXIT=3
for f in ZK4Setup.exe ZK4_Data1.pak ZK4_Data2.pak ZK4_Sound.pak; do
  cmp -s "$files_dir/$f" "$work/c/downloads/$f" || { echo "  player c: $f differs"; exit 1; }
done
echo "  player c's files match"
echo "stopping the file server and removing $work"
