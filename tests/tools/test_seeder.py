#!/usr/bin/python3
"""A seeder on loopback for the engine's peer tests.

    test_seeder.py TORRENT FOLDER STATUS [--corrupt] [--upload-limit B/s]

Serves the file that TORRENT describes from FOLDER, to peers that call it
on 127.0.0.1 (it never looks for peers itself: no DHT, no local discovery,
no port mapping). Prints "port N" once it listens and the data is checked,
then keeps STATUS (JSON: bytes uploaded, connections so far) current until
SIGTERM.

--corrupt serves a copy whose pieces all carry one wrong byte, added as
complete without a check, so that the seeder sends pieces that fail the
receiver's hash check.
"""
import argparse
import atexit
import json
import os
import shutil
import signal
import sys
import tempfile
import threading
import time

import libtorrent as lt

stopping = threading.Event()
signal.signal(signal.SIGTERM, lambda *_: stopping.set())
signal.signal(signal.SIGINT, lambda *_: stopping.set())


def write_status(path, uploaded, connections):
    temporary = path + ".new"
    with open(temporary, "w") as f:
        json.dump({"uploaded": uploaded, "connections": connections}, f)
    os.replace(temporary, path)


def corrupt_copy(info, folder):
    """A scratch folder holding the file with one byte of every piece flipped."""
    scratch = tempfile.mkdtemp(prefix="zk4seeder.")
    atexit.register(shutil.rmtree, scratch, True)
    with open(os.path.join(folder, info.name()), "rb") as f:
        data = bytearray(f.read())
    for offset in range(0, len(data), info.piece_length()):
        data[offset] ^= 0xFF
    with open(os.path.join(scratch, info.name()), "wb") as f:
        f.write(data)
    return scratch


def seeder(info, folder, status, upload_limit, corrupt):
    session = lt.session({
        "listen_interfaces": "127.0.0.1:0", "enable_lsd": False, "enable_dht": False,
        "enable_upnp": False, "enable_natpmp": False, "allow_multiple_connections_per_ip": True,
        "alert_mask": 0})
    params = lt.add_torrent_params()
    params.ti = info
    params.save_path = folder
    params.flags &= ~(lt.torrent_flags.auto_managed | lt.torrent_flags.paused)
    if corrupt:
        params.save_path = corrupt_copy(info, folder)
        params.flags |= lt.torrent_flags.no_verify_files
        params.have_pieces = [True] * info.num_pieces()
    handle = session.add_torrent(params)
    if upload_limit:
        handle.set_upload_limit(upload_limit)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        st = handle.status()
        if session.listen_port() and st.is_seeding:
            break
        time.sleep(0.02)
    else:
        sys.exit("seeder: not ready (is the file complete?)")
    print(f"port {session.listen_port()}", flush=True)
    connections = 0
    while not stopping.is_set():
        st = handle.status()
        connections = max(connections, st.num_peers)
        write_status(status, st.total_payload_upload, connections)
        time.sleep(0.05)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("torrent")
    parser.add_argument("folder")
    parser.add_argument("status")
    parser.add_argument("--corrupt", action="store_true")
    parser.add_argument("--upload-limit", type=int, default=0)
    args = parser.parse_args()
    info = lt.torrent_info(args.torrent)
    seeder(info, args.folder, args.status, args.upload_limit, args.corrupt)


if __name__ == "__main__":
    main()
