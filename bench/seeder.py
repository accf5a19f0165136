#!/usr/bin/python3
"""The local seed of bench case 7: one libtorrent session on 127.0.0.1
sharing every file that the given .torrent files describe, from FOLDER.

    bench/seeder.py FOLDER TORRENT...

Prints "port N" once every file is checked and shared; runs until SIGTERM.
No DHT, no local discovery, no port mapping: it is only ever called.
"""
import signal
import sys
import time

import libtorrent as lt

stop = False


def on_term(*_):
    global stop
    stop = True


signal.signal(signal.SIGTERM, on_term)
signal.signal(signal.SIGINT, on_term)

folder, torrents = sys.argv[1], sys.argv[2:]
session = lt.session({
    "listen_interfaces": "127.0.0.1:0", "enable_lsd": False, "enable_dht": False,
    "enable_upnp": False, "enable_natpmp": False, "allow_multiple_connections_per_ip": True,
    "alert_mask": 0})
handles = []
for path in torrents:
    params = lt.add_torrent_params()
    params.ti = lt.torrent_info(path)
    params.save_path = folder
    params.flags &= ~(lt.torrent_flags.auto_managed | lt.torrent_flags.paused)
    handles.append(session.add_torrent(params))
while not stop and not (session.listen_port() and all(h.status().is_seeding for h in handles)):
    time.sleep(0.05)
print(f"port {session.listen_port()}", flush=True)
while not stop:
    time.sleep(0.2)
