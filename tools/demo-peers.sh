#!/usr/bin/env bash
# The two-player demo: one release, two players on this machine, each with
# its own data folder and its own download engine. The first player fetches
# the game from the file server (the web seed) and keeps sharing it for a
# while; the second player's engine learns of the first from the tracker and
# takes the pieces from it. Then both engines are stopped (they leave the
# tracker) and a third download shows that the file server alone still
# completes the job.
#
#   bash tools/demo-peers.sh
#
#   BUILD_DIR   build folder (default build/)
#   DEMO_RATE   the file server's rate per connection (default 2m, nginx
#               units): players are faster than a busy file server
#
# Everything lives in one temporary folder, removed at the end (also on
# Ctrl-C). Players find each other through a tracker on 127.0.0.1
# (opentracker, named in the release's metadata by make-release --tracker);
# no peer is named to them, and local discovery is off so that nothing is
# announced on the LAN. Debian builds opentracker to serve only the torrents
# on its whitelist: it is given the release's info-hashes.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build}
rate=${DEMO_RATE:-2m}
work=""
nginx_pid=""
tracker_pid=""

engines_of() {  # pids of the engine copies below a data folder
  local exe=$1/Norvex/tlxDownloadV32/TLXDownloadV32.exe proc
  for proc in /proc/[0-9]*; do
    [ "$(readlink "$proc/exe" 2>/dev/null)" = "$exe" ] && echo "${proc#/proc/}"
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
  if [ -n "$tracker_pid" ]; then
    kill -TERM "$tracker_pid" 2>/dev/null || true
    wait "$tracker_pid" 2>/dev/null || true
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
  read -r name mib <<<"$entry"
  head -c $((mib * 1048576)) /dev/urandom >"$files_dir/$name"
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

# One command publishes the release: the list, one .torrent per file with
# the tracker in it, and the info-hashes the tracker is to serve.
tracker_port=$(free_port)
announce="http://127.0.0.1:$tracker_port/announce"
/usr/bin/python3 tools/make-release "$files_dir" "http://127.0.0.1:$port/download/zk4/files/" \
  --tracker "$announce" | sed 's/^/  /'
mv "$files_dir/filelist.txt" "$list_dir/filelist.txt"
echo "file server: nginx on 127.0.0.1:$port (limit_rate $rate per connection)"

# The tracker. Run as root it chroots into its folder and becomes nobody, so
# the folder and its list must be readable by all and the list named
# relative to it; -p without -P opens no UDP port.
mkdir -p "$work/tracker"
chmod 755 "$work/tracker"
cp "$files_dir/filelist.txt.hashes" "$work/tracker/whitelist"
chmod 644 "$work/tracker/whitelist"
tracker_user=()
[ "$(id -u)" -eq 0 ] && tracker_user=(-u nobody)
/usr/bin/opentracker -i 127.0.0.1 -p "$tracker_port" -d "$work/tracker" -w whitelist \
  "${tracker_user[@]}" >"$work/tracker.log" 2>&1 &
tracker_pid=$!
# It listens before it has read its list: announce the first hash from
# port 1 until it is taken, then withdraw that peer.
first_hash=$(head -n 1 "$files_dir/filelist.txt.hashes")
probe="/announce?info_hash=$(printf '%s' "$first_hash" | sed 's/../%&/g')&peer_id=-ZK0000-trackerprobe&port=1&compact=1"
tracker_get() {  # one HTTP/1.0 request; the answer on stdout
  (exec 3<>"/dev/tcp/127.0.0.1/$tracker_port" && printf 'GET %s HTTP/1.0\r\n\r\n' "$1" >&3 &&
    timeout 2 cat <&3) 2>/dev/null || true
}
tracker_ready=""
for _ in $(seq 1 100); do
  if tracker_get "$probe&event=started" | grep -aq "5:peers"; then
    tracker_get "$probe&event=stopped" >/dev/null
    tracker_ready=1
    break
  fi
  sleep 0.05
done
if [ -z "$tracker_ready" ]; then
  echo "demo: the tracker does not serve the release:" >&2
  cat "$work/tracker.log" >&2
  exit 1
fi
echo "tracker: opentracker at $announce, serving $(wc -l <"$files_dir/filelist.txt.hashes") info-hashes"

export TLX_PATCH_SERVER="127.0.0.1:$port"
export TLX_REPORT_SERVER="127.0.0.1:1"
export TLX_NETWORK=up
export TLX_ENGINE_LSD=0
export TLX_ENGINE_PEER_LISTEN=127.0.0.1:0

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
  { grep -E "bytes from peers|tracker .* names [0-9]+ peers" "$log" || true; } |
    sed 's/^\[[^]]*\] /  /' | sed "s|$work/||"
  awk '/bytes from peers/ { for (i = 1; i <= NF; i++) { if ($(i+1) == "bytes" && $(i+2) == "from") p += $i;
                                                      if ($(i+1) == "from" && $(i+2) == "file") s += $i } }
       END { if (p + s > 0) printf "  in all: %d bytes from peers, %d from the file server (%.0f %% from peers)\n",
                                   p, s, 100 * p / (p + s) }' "$log"
}

say "player a: fetches the game from the file server, then shares it for 120 s"
play a TLX_ENGINE_IDLE_EXIT=120 TLX_ENGINE_SEED_GRACE=120

say "player b: the tracker names player a, whose engine sends the game"
play b TLX_ENGINE_IDLE_EXIT=3
cmp -s "$work/a/downloads/ZK4_Data1.pak" "$work/b/downloads/ZK4_Data1.pak" &&
  cmp -s "$files_dir/ZK4_Data1.pak" "$work/b/downloads/ZK4_Data1.pak" && echo "  player b's files match"

say "the engines of players a and b stop and leave the tracker; player c gets the game from the file server"
for player in a b; do
  for pid in $(engines_of "$work/$player"); do kill -TERM "$pid"; done
  for _ in $(seq 1 100); do [ -z "$(engines_of "$work/$player")" ] && break; sleep 0.1; done
done
grep -E "Stopped seeding" "$work/a/Norvex/tlxDownloadV32/config/engine.log" |
  sed 's/^\[[^]]*\] /  player a: /' | sed "s|$work/||" || true
play c TLX_ENGINE_IDLE_EXIT=3
for f in ZK4Setup.exe ZK4_Data1.pak ZK4_Data2.pak ZK4_Sound.pak; do
  cmp -s "$files_dir/$f" "$work/c/downloads/$f" || { echo "  player c: $f differs"; exit 1; }
done
echo "  player c's files match"
echo "stopping the file server and the tracker, and removing $work"
