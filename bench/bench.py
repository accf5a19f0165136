#!/usr/bin/env python3
"""Side-by-side benchmark of tlxdownloader-cli against curl, wget and aria2.

Run through bench/run, which installs the tools and builds the program.
"""
import argparse
import json
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20
# Process groups of sampled tools: they run in their own session, so a
# Ctrl-C at the terminal does not reach them and cleanup has to.
SAMPLED = set()
NORMAL_BUDGET = 393216
CAP = 104857600


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_certificates(folder):
    """A test authority and a certificate for 127.0.0.1; returns (ca, cert, key)."""
    os.makedirs(folder, exist_ok=True)
    run = lambda *a: subprocess.check_call(list(a), cwd=folder, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL)
    run("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
        "-days", "2", "-subj", "/CN=bench authority", "-keyout", "ca.key", "-out", "ca.pem")
    run("openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
        "-subj", "/CN=127.0.0.1", "-keyout", "server.key", "-out", "server.csr")
    with open(os.path.join(folder, "server.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")
    run("openssl", "x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-CAcreateserial", "-days", "2", "-extfile", "server.ext", "-out", "server.pem")
    return (os.path.join(folder, "ca.pem"), os.path.join(folder, "server.pem"),
            os.path.join(folder, "server.key"))


class Nginx:
    def __init__(self, root, work, tls=None, server_extra="", access_log="off"):
        self.port = free_port()
        self.tls_port = free_port() if tls else 0
        self.work = work
        tls_server = ""
        if tls:
            tls_server = (f"server {{ listen 127.0.0.1:{self.tls_port} ssl; root {root}; "
                          f"ssl_certificate {tls[1]}; ssl_certificate_key {tls[2]}; }}")
        conf = os.path.join(work, "nginx.conf")
        with open(conf, "w") as f:
            f.write(f"""daemon off; master_process off; worker_processes 1;
error_log {work}/error.log warn; pid {work}/nginx.pid;
events {{ worker_connections 4096; }}
http {{ log_format bytes '$uri $status $body_bytes_sent';
  access_log {access_log}; sendfile on; keepalive_timeout 65; keepalive_requests 100000;
  default_type application/octet-stream;
  client_body_temp_path {work}/b; proxy_temp_path {work}/p; fastcgi_temp_path {work}/f;
  uwsgi_temp_path {work}/u; scgi_temp_path {work}/s;
  server {{ listen 127.0.0.1:{self.port}; root {root}; {server_extra} }} {tls_server} }}
""")
        self.proc = subprocess.Popen(["/usr/sbin/nginx", "-p", work, "-c", conf, "-e", "stderr"],
                                     stderr=subprocess.DEVNULL)
        for _ in range(500):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.1).close()
                return
            except OSError:
                time.sleep(0.01)
        raise RuntimeError("nginx did not start")

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)


def write_random(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 8 * MIB)
            f.write(os.urandom(n))
            left -= n


def timed(cmd, cwd, env=None):
    """Runs cmd under GNU time; returns wall, cpu seconds and peak RSS in KiB."""
    out = os.path.join(cwd, ".time")
    start = time.monotonic()
    rc = subprocess.call(["/usr/bin/time", "-o", out, "-f", "%U %S %M"] + cmd, cwd=cwd,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    wall = time.monotonic() - start
    user, system, rss = open(out).read().split()[-3:]
    return {"rc": rc, "wall": wall, "cpu": float(user) + float(system), "rss_kib": int(rss)}


def folder_bytes(folder):
    total = 0
    for dirpath, _, names in os.walk(folder):
        for n in names:
            try:
                total += os.path.getsize(os.path.join(dirpath, n))
            except OSError:
                pass
    return total


def sampled_rates(cmd, cwd, seconds):
    """Runs cmd for `seconds`, sampling the bytes on disk once a second.

    The rate and the spread cover the whole window from the start of the
    process: a tool that bursts at the start and then pauses to bring its
    average down (curl 7.88's --limit-rate does) is judged by what a player
    sees, not by its quiet part alone. The steady rate leaves out the first
    second, which holds the connection set-up.
    """
    proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    SAMPLED.add(proc.pid)
    t0 = time.monotonic()
    samples = [(t0, 0)]
    for second in range(1, seconds + 1):
        time.sleep(max(0.0, t0 + second - time.monotonic()))
        samples.append((time.monotonic(), folder_bytes(cwd)))
    os.killpg(proc.pid, signal.SIGTERM)
    proc.wait()
    SAMPLED.discard(proc.pid)
    rates = [(b2 - b1) / (t2 - t1) for (t1, b1), (t2, b2) in zip(samples, samples[1:])]
    total_rate = samples[-1][1] / (samples[-1][0] - t0)
    steady_rate = (samples[-1][1] - samples[1][1]) / (samples[-1][0] - samples[1][0])
    return {"rate": total_rate, "error": total_rate / NORMAL_BUDGET - 1,
            "steady_rate": steady_rate, "steady_error": steady_rate / NORMAL_BUDGET - 1,
            "spread": statistics.pstdev(rates), "steady_spread": statistics.pstdev(rates[1:]),
            "per_second": [round(r) for r in rates]}


def processes_of(exe):
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.readlink(f"/proc/{entry}/exe") in (exe, exe + " (deleted)"):
                pids.append(int(entry))
        except OSError:
            pass
    return pids


def engine_usage(exe):
    """CPU seconds and peak RSS (KiB) of the running engine, which is then stopped.

    The service starts the engine in a session of its own, so GNU time of the
    downloader does not see it; it is still running (idle) when the
    downloader ends, and /proc holds its figures.
    """
    cpu, rss = 0.0, 0
    tick = os.sysconf("SC_CLK_TCK")
    for pid in processes_of(exe):
        try:
            fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
            cpu += (int(fields[11]) + int(fields[12])) / tick
            for line in open(f"/proc/{pid}/status"):
                if line.startswith("VmHWM:"):
                    rss = max(rss, int(line.split()[1]))
            os.kill(pid, signal.SIGTERM)
        except OSError:
            pass
    return cpu, rss


def engine_lines(folder):
    try:
        return open(os.path.join(folder, "config", "engine.log")).read()
    except OSError:
        return ""


def case7_peers(args, cli, tmp, root, nginx, big, fresh):
    """The 1 GiB job through the engine's peer back end with one local seed,
    beside the same job through its HTTP back end.

    The peer run's list points at files that have their .torrent beside
    them (made by tools/make-release) and one local libtorrent seed
    holding them; the HTTP run's list points at the same files under a
    path without metadata. CPU and memory count the downloader and its
    engine; the seed, the other player, is shown apart.
    """
    here = os.path.dirname(os.path.abspath(__file__))
    python = "/usr/bin/python3"
    if subprocess.call([python, "-c", "import libtorrent"], stderr=subprocess.DEVNULL) != 0:
        print("\n== case7_peers skipped: python3-libtorrent is missing")
        return {"skipped": "python3-libtorrent is missing"}
    print("\n== case7_peers (1 GiB, full speed, one local seed)", flush=True)
    subprocess.check_call([python, os.path.join(here, "..", "tools", "make-release"),
                           os.path.join(root, "big"), nginx.url("/big/")], stdout=subprocess.DEVNULL)
    os.makedirs(os.path.join(root, "plain"), exist_ok=True)
    for p in big:
        link = os.path.join(root, "plain", os.path.basename(p))
        if not os.path.exists(link):
            os.symlink(root + p, link)
    lists = {}
    for mode, prefix in (("http", "/plain/"), ("peers", "/big/")):
        name = f"case7_{mode}.txt"
        with open(os.path.join(root, name), "w") as f:
            f.write("\n".join(nginx.url(prefix + os.path.basename(p)) for p in big) + "\n")
        lists[mode] = nginx.url("/" + name)
    seed = subprocess.Popen([python, os.path.join(here, "seeder.py"), os.path.join(root, "big")] +
                            [root + p + ".torrent" for p in big], stdout=subprocess.PIPE, text=True,
                            start_new_session=True)
    SAMPLED.add(seed.pid)
    try:
        line = seed.stdout.readline()
        if not line.startswith("port "):
            raise RuntimeError("the seed did not start")
        seed_port = int(line.split()[1])
        seed_cpu_before = cpu_of(seed.pid)
        runs = {"http": [], "peers": []}
        for _ in range(args.runs):
            for mode in ("http", "peers"):
                d = fresh("c7-" + mode)
                data = fresh("c7-" + mode + "-data")
                env = dict(os.environ, XDG_DATA_HOME=data, TLX_ENGINE_PORT=str(free_port()),
                           TLX_ENGINE_IDLE_EXIT="120", TLX_NETWORK="up", TLX_ENGINE_LSD="0",
                           TLX_ENGINE_PEER_LISTEN="127.0.0.1:0",
                           TLX_ENGINE_PEERS=f"127.0.0.1:{seed_port}")
                folder = os.path.join(data, "Norvex", "tlxDownloadV32")
                os.makedirs(folder)
                exe = os.path.join(folder, "TLXDownloadV32.exe")
                shutil.copy2(args.engine, exe)
                seed_cpu = cpu_of(seed.pid)
                r = timed([cli, "--folder", d, "--no-install", lists[mode]], d, env)
                r["seed_cpu"] = cpu_of(seed.pid) - seed_cpu
                cpu, rss = engine_usage(exe)
                r["cli_cpu"], r["cli_rss_kib"] = r["cpu"], r["rss_kib"]
                r["cpu"] += cpu
                r["rss_kib"] += rss
                r["engine_cpu"], r["engine_rss_kib"] = cpu, rss
                log = engine_lines(folder)
                r["from_peers"] = sum(int(n) for n in re.findall(r"(\d+) bytes from peers", log))
                r["from_servers"] = sum(int(n) for n in re.findall(r"(\d+) from file servers", log))
                r["complete"] = folder_bytes(d) >= 1024 * MIB
                r["mibs"] = 1024 / r["wall"]
                runs[mode].append(r)
        table = {}
        print(f"{'back end':<10}{'wall s':>9}{'cpu s':>9}{'rss MiB':>9}{'MiB/s':>9}{'engine MiB':>12}"
              f"{'from peers':>12}{'seed cpu s':>12}")
        for mode, rs in runs.items():
            row = {k: summarize([r[k] for r in rs]) for k in
                   ("wall", "cpu", "rss_kib", "mibs", "engine_cpu", "engine_rss_kib", "seed_cpu",
                    "from_peers", "from_servers")}
            row["failed_runs"] = sum(1 for r in rs if r["rc"] != 0 or not r["complete"])
            table[mode] = row
            print(f"{mode:<10}{row['wall']['median']:>9.2f}{row['cpu']['median']:>9.2f}"
                  f"{row['rss_kib']['median'] / 1024:>9.1f}{row['mibs']['median']:>9.1f}"
                  f"{row['engine_rss_kib']['median'] / 1024:>12.1f}"
                  f"{row['from_peers']['median'] / MIB:>11.0f}M{row['seed_cpu']['median']:>12.2f}")
        table["seed_cpu_idle_before"] = seed_cpu_before
        return table
    finally:
        seed.terminate()
        seed.wait(timeout=10)
        SAMPLED.discard(seed.pid)


class Tracker:
    """opentracker on loopback, serving the listed info-hashes only (Debian
    builds it as a whitelist tracker). It chroots into its folder, so the
    list is named relative to it."""

    def __init__(self, work, hashes, port):
        os.makedirs(work, exist_ok=True)
        os.chmod(work, 0o755)
        with open(os.path.join(work, "whitelist"), "w") as f:
            f.write("".join(h + "\n" for h in hashes))
        os.chmod(os.path.join(work, "whitelist"), 0o644)
        self.port = port
        args = ["/usr/bin/opentracker", "-i", "127.0.0.1", "-p", str(self.port), "-d", work,
                "-w", "whitelist"]
        if os.getuid() == 0:
            args += ["-u", "nobody"]
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(500):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.1).close()
                return
            except OSError:
                time.sleep(0.01)
        raise RuntimeError("opentracker did not start")

    def url(self):
        return f"http://127.0.0.1:{self.port}/announce"

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)


def case9_swarm(args, cli, tmp, fresh):
    """Players on loopback who find each other through a tracker, one file
    server: 1, 4 and 8 players, started 3 s apart and all at once, against
    the same players by HTTP alone. What the server sent as a multiple of
    N x size, when the last player was done, and each engine's peak memory
    and CPU."""
    here = os.path.dirname(os.path.abspath(__file__))
    python = "/usr/bin/python3"
    if subprocess.call([python, "-c", "import libtorrent"], stderr=subprocess.DEVNULL) != 0 or \
            not os.path.exists("/usr/bin/opentracker"):
        print("\n== case9_swarm skipped: python3-libtorrent or opentracker is missing")
        return {"skipped": "python3-libtorrent or opentracker is missing"}
    size = 64 * MIB
    root = os.path.join(tmp, "swarm-root")
    write_random(os.path.join(root, "swarm", "game.pak"), size)
    os.makedirs(os.path.join(root, "plain"), exist_ok=True)
    os.symlink(os.path.join(root, "swarm", "game.pak"), os.path.join(root, "plain", "game.pak"))
    work = os.path.join(tmp, "swarm-nginx")
    os.makedirs(work)
    log = os.path.join(work, "access.log")
    # A busy file server: 4 MB/s for each connection.
    server = Nginx(root, work, server_extra="location /swarm/ { limit_rate 4m; } "
                   "location /plain/ { limit_rate 4m; }", access_log=f"{log} bytes")
    tracker = None
    try:
        # Every swarm gets a fresh tracker on the port the release names.
        tracker_port = free_port()
        subprocess.check_call([python, os.path.join(here, "..", "tools", "make-release"),
                               os.path.join(root, "swarm"), server.url("/swarm/"),
                               "--tracker", f"http://127.0.0.1:{tracker_port}/announce"],
                              stdout=subprocess.DEVNULL)
        hashes = open(os.path.join(root, "swarm", "filelist.txt.hashes")).read().split()
        lists = {"peers": server.url("/swarm/filelist.txt")}
        with open(os.path.join(root, "plain.txt"), "w") as f:
            f.write(server.url("/plain/game.pak") + "\n")
        lists["http"] = server.url("/plain.txt")
        table = {}
        print("\n== case9_swarm (64 MiB, nginx 4 MB/s per connection, players on loopback)", flush=True)
        print(f"{'players':>8}{'start':>10}{'by':>7}{'server/(N x size)':>19}{'last done s':>13}"
              f"{'engine MiB':>12}{'engine cpu s':>14}")
        for n in (1, 4, 8):
            for start in ("staggered", "together"):
                if n == 1 and start == "together":
                    continue
                for mode in ("peers", "http"):
                    tracker = Tracker(os.path.join(tmp, f"tracker-{n}-{start}-{mode}"), hashes,
                                      tracker_port)
                    open(log, "w").close()
                    players = []
                    t0 = time.monotonic()
                    for i in range(n):
                        if start == "staggered" and i > 0:
                            time.sleep(3)
                        d = fresh(f"c9-{n}-{start}-{mode}-{i}")
                        data = fresh(f"c9-{n}-{start}-{mode}-{i}-data")
                        folder = os.path.join(data, "Norvex", "tlxDownloadV32")
                        os.makedirs(folder)
                        exe = os.path.join(folder, "TLXDownloadV32.exe")
                        shutil.copy2(args.engine, exe)
                        env = dict(os.environ, XDG_DATA_HOME=data, TLX_ENGINE_PORT=str(free_port()),
                                   TLX_ENGINE_IDLE_EXIT="300", TLX_NETWORK="up", TLX_ENGINE_LSD="0",
                                   TLX_ENGINE_PEER_LISTEN="127.0.0.1:0",
                                   TLX_ENGINE_SEED_GRACE="300", XDG_RUNTIME_DIR=data)
                        proc = subprocess.Popen([cli, "--folder", d, "--no-install", lists[mode]],
                                                cwd=d, env=env, stdout=subprocess.DEVNULL,
                                                stderr=subprocess.DEVNULL, start_new_session=True)
                        SAMPLED.add(proc.pid)
                        players.append({"proc": proc, "exe": exe, "folder": d})
                    done = []
                    for p in players:
                        p["rc"] = p["proc"].wait()
                        done.append(time.monotonic() - t0)
                        SAMPLED.discard(p["proc"].pid)
                    usage = [engine_usage(p["exe"]) for p in players]
                    if tracker:
                        tracker.stop()
                        tracker = None
                    sent = 0
                    for line in open(log):
                        parts = line.split()
                        if len(parts) == 3 and parts[0].endswith("game.pak"):
                            sent += int(parts[2])
                    complete = all(p["rc"] == 0 and folder_bytes(p["folder"]) >= size for p in players)
                    row = {"server_copies": sent / (n * size), "server_bytes": sent,
                           "last_done_s": max(done), "complete": complete,
                           "engine_rss_kib": max((u[1] for u in usage), default=0),
                           "engine_cpu_s": max((u[0] for u in usage), default=0)}
                    table[f"{n}-{start}-{mode}"] = row
                    print(f"{n:>8}{start:>10}{mode:>7}{row['server_copies']:>19.2f}"
                          f"{row['last_done_s']:>13.1f}{row['engine_rss_kib'] / 1024:>12.1f}"
                          f"{row['engine_cpu_s']:>14.2f}" + ("" if complete else "  INCOMPLETE"),
                          flush=True)
        return table
    finally:
        if tracker:
            tracker.stop()
        server.stop()


def cpu_of(pid):
    tick = os.sysconf("SC_CLK_TCK")
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / tick


def summarize(values):
    return {"median": statistics.median(values), "min": min(values), "max": max(values)}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cli", required=True)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--cases", default="1,2,3,4,5")
    ap.add_argument("--engine", help="the engine program, for cases 6, 7 and 8")
    ap.add_argument("--update-pass", help="the update-pass program, for case 8")
    ap.add_argument("--json", default=None)
    args = ap.parse_args()
    cases = {int(c) for c in args.cases.split(",")}
    cli = os.path.abspath(args.cli)
    if args.engine:
        args.engine = os.path.abspath(args.engine)
    if args.update_pass:
        args.update_pass = os.path.abspath(args.update_pass)

    tmp = tempfile.mkdtemp(prefix="zk4bench.")
    root = os.path.join(tmp, "root")
    nginx = None
    results = {}
    env = dict(os.environ, TLX_REPORT_SERVER="127.0.0.1:1", TLX_NETWORK="up")
    os.environ.update(env)

    def cleanup(*_):
        for group in list(SAMPLED):
            try:
                os.killpg(group, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if nginx:
            nginx.stop()
        shutil.rmtree(tmp, ignore_errors=True)
    signal.signal(signal.SIGINT, lambda *a: (cleanup(), sys.exit(130)))
    signal.signal(signal.SIGTERM, lambda *a: (cleanup(), sys.exit(143)))
    try:
        print("generating data ...", flush=True)
        big = [f"/big/part{i}.bin" for i in range(4)]
        if cases & {1, 2, 5, 6, 7}:
            for p in big:
                write_random(root + p, 256 * MIB)
        small = [f"/small/s{i:04d}.bin" for i in range(2000)]
        if cases & {3, 4, 5}:
            for p in small:
                write_random(root + p, 16 * 1024)
        os.makedirs(os.path.join(tmp, "nginx"))
        tls = make_certificates(os.path.join(tmp, "tls")) if 8 in cases else None
        nginx = Nginx(root, os.path.join(tmp, "nginx"), tls)

        def file_list(name, paths):
            with open(os.path.join(root, name), "w") as f:
                f.write("\n".join(nginx.url(p) for p in paths) + "\n")
            with open(os.path.join(tmp, name), "w") as f:
                f.write("\n".join(nginx.url(p) for p in paths) + "\n")
            return nginx.url("/" + name)

        def fresh(name):
            d = os.path.join(tmp, "out", name)
            shutil.rmtree(d, ignore_errors=True)
            os.makedirs(d)
            return d

        def run_case(name, tools, gib, keep_outputs=False):
            # keep_outputs: every run writes into a folder of its own, and all
            # are removed after the case. For many small files: ext4 makes a
            # new inode slow beside thousands deleted moments before
            # (__ext4_new_inode scans past recently deleted ones), which a run
            # right after the last run's folder was removed would pay,
            # whatever the tool.
            print(f"\n== {name}", flush=True)
            runs = {t: [] for t in tools}
            for n in range(args.runs):
                for tool, make in tools.items():  # A B A B ...
                    d = fresh(f"{tool}-{n}" if keep_outputs else tool)
                    r = timed(make(d), d)
                    r["mibs"] = gib * 1024 / r["wall"]
                    runs[tool].append(r)
            if keep_outputs:
                shutil.rmtree(os.path.join(tmp, "out"), ignore_errors=True)
            table = {}
            base = None
            for tool, rs in runs.items():
                row = {k: summarize([r[k] for r in rs]) for k in ("wall", "cpu", "rss_kib", "mibs")}
                row["failed_runs"] = sum(1 for r in rs if r["rc"] != 0)
                row["cpu_per_gib"] = row["cpu"]["median"] / gib if gib else None
                table[tool] = row
            base = table.get("curl")
            print(f"{'tool':<22}{'wall s':>9}{'cpu s':>9}{'rss MiB':>9}{'MiB/s':>9}{'wall/curl':>11}{'cpu/curl':>10}")
            for tool, row in table.items():
                if base:
                    row["wall_vs_curl"] = row["wall"]["median"] / base["wall"]["median"]
                    row["cpu_vs_curl"] = row["cpu"]["median"] / max(base["cpu"]["median"], 1e-9)
                    row["rss_vs_curl"] = row["rss_kib"]["median"] / base["rss_kib"]["median"]
                print(f"{tool:<22}{row['wall']['median']:>9.2f}{row['cpu']['median']:>9.2f}"
                      f"{row['rss_kib']['median'] / 1024:>9.1f}{row['mibs']['median']:>9.1f}"
                      f"{row.get('wall_vs_curl', 1):>11.2f}{row.get('cpu_vs_curl', 1):>10.2f}")
            results[name] = table

        if 1 in cases or 5 in cases:
            lst = file_list("big.txt", big)
            urls = [nginx.url(p) for p in big]
            run_case("case1_full_speed", {
                "ours": lambda d: [cli, "--folder", d, "--no-install", lst],
                "curl": lambda d: ["curl", "-s", "--remote-name-all"] + urls,
                "curl_limit_100M": lambda d: ["curl", "-s", "--limit-rate", "100M", "--remote-name-all"] + urls,
                "wget": lambda d: ["wget", "-q", "-i", os.path.join(tmp, "big.txt")],
                "aria2c": lambda d: ["aria2c", "-q", "-j1", "--allow-overwrite=true", "-i", os.path.join(tmp, "big.txt")],
            }, 1.0)
        if 2 in cases:
            lst = file_list("big.txt", big)
            urls = [nginx.url(p) for p in big]
            print("\n== case2_normal_speed (20 s each)", flush=True)
            tools = {
                "ours": lambda d: [cli, "--folder", d, "--no-install", "--normal-speed", lst],
                "curl_384K": lambda d: ["curl", "-s", "--limit-rate", "384K", "--remote-name-all"] + urls,
                # Without preallocation the file's size is what has arrived.
                "aria2c_384K": lambda d: ["aria2c", "-q", "-j1", "--file-allocation=none",
                                          "--max-download-limit=384K", "-i", os.path.join(tmp, "big.txt")],
            }
            runs = {t: [] for t in tools}
            for _ in range(args.runs):
                for tool, make in tools.items():  # A B A B ...
                    d = fresh(tool)
                    runs[tool].append(sampled_rates(make(d), d, 20))
            table = {}
            print(f"{'tool':<14}{'rate B/s':>11}{'error':>9}{'spread B/s':>12}"
                  f"{'steady B/s':>12}{'error':>9}{'spread B/s':>12}")
            for tool, rs in runs.items():
                row = {k: summarize([r[k] for r in rs]) for k in
                       ("rate", "error", "spread", "steady_rate", "steady_error", "steady_spread")}
                row["per_second_first_run"] = rs[0]["per_second"]
                table[tool] = row
                m = {k: v["median"] for k, v in row.items() if isinstance(v, dict)}
                print(f"{tool:<14}{m['rate']:>11.0f}{m['error'] * 100:>+8.2f}%{m['spread']:>12.0f}"
                      f"{m['steady_rate']:>12.0f}{m['steady_error'] * 100:>+8.2f}%{m['steady_spread']:>12.0f}")
            base = table.get("curl_384K")
            if base:
                for row in table.values():
                    row["rate_vs_curl"] = row["rate"]["median"] / max(base["rate"]["median"], 1e-9)
                    row["spread_vs_curl"] = row["spread"]["median"] / max(base["spread"]["median"], 1e-9)
            results["case2_normal_speed"] = table
        if 3 in cases:
            chosen = small[:500]
            lst = file_list("check.txt", chosen)
            urls = [nginx.url(p) for p in chosen]
            with open(os.path.join(tmp, "check.urls"), "w") as f:
                f.write("\n".join(urls) + "\n")
            run_case("case3_size_check", {
                "ours": lambda d: [cli, "--check-only", lst],
                "curl": lambda d: ["sh", "-c", f"for u in $(cat {tmp}/check.urls); do curl -sI $u; done"],
                "xargs_P5_curl": lambda d: ["sh", "-c", f"xargs -P5 -n1 curl -sI < {tmp}/check.urls"],
            }, 0)
        if 4 in cases or 5 in cases:
            lst = file_list("small.txt", small)
            run_case("case4_small_files", {
                "ours": lambda d: [cli, "--folder", d, "--no-install", lst],
                "curl": lambda d: ["sh", "-c", f"curl -s --remote-name-all $(cat {tmp}/small.txt)"],
                "xargs_P5_curl": lambda d: ["sh", "-c", f"xargs -P5 -n50 curl -s --remote-name-all < {tmp}/small.txt"],
                "wget": lambda d: ["wget", "-q", "-i", os.path.join(tmp, "small.txt")],
                "aria2c": lambda d: ["aria2c", "-q", "-j5", "--allow-overwrite=true", "-i", os.path.join(tmp, "small.txt")],
            }, 2000 * 16 / 1024 / 1024, keep_outputs=True)
        if 6 in cases and args.engine:
            # The same 1 GiB job through the download engine and by the direct
            # downloader, same caps (full speed). CPU and memory of the engine
            # run count both processes: the downloader and the engine.
            lst = file_list("big.txt", big)
            print("\n== case6_engine (1 GiB, full speed)", flush=True)
            runs = {"direct": [], "engine": []}
            for _ in range(args.runs):
                for mode in ("direct", "engine"):
                    d = fresh(mode)
                    data = fresh(mode + "-data")
                    env = dict(os.environ, XDG_DATA_HOME=data, TLX_ENGINE_PORT=str(free_port()),
                               TLX_ENGINE_IDLE_EXIT="120", TLX_NETWORK="up")
                    exe = ""
                    if mode == "engine":
                        folder = os.path.join(data, "Norvex", "tlxDownloadV32")
                        os.makedirs(folder)
                        exe = os.path.join(folder, "TLXDownloadV32.exe")
                        shutil.copy2(args.engine, exe)
                    r = timed([cli, "--folder", d, "--no-install", lst], d, env)
                    r["cli_cpu"], r["cli_rss_kib"] = r["cpu"], r["rss_kib"]
                    if exe:
                        cpu, rss = engine_usage(exe)
                        r["cpu"] += cpu
                        r["rss_kib"] += rss
                        r["engine_cpu"], r["engine_rss_kib"] = cpu, rss
                        r["through_engine"] = os.path.exists(os.path.join(folder, "config", "engine.log")) and \
                            "Job" in open(os.path.join(folder, "config", "engine.log")).read()
                    r["complete"] = folder_bytes(d) >= 1024 * MIB
                    r["mibs"] = 1024 / r["wall"]
                    runs[mode].append(r)
            table = {}
            print(f"{'path':<10}{'wall s':>9}{'cpu s':>9}{'rss MiB':>9}{'MiB/s':>9}  (engine run: cpu and rss of both processes)")
            for mode, rs in runs.items():
                row = {k: summarize([r[k] for r in rs]) for k in ("wall", "cpu", "rss_kib", "mibs")}
                row["failed_runs"] = sum(1 for r in rs if r["rc"] != 0 or not r["complete"])
                if mode == "engine":
                    row["engine_cpu"] = summarize([r["engine_cpu"] for r in rs])
                    row["engine_rss_kib"] = summarize([r["engine_rss_kib"] for r in rs])
                    row["runs_through_engine"] = sum(1 for r in rs if r["through_engine"])
                table[mode] = row
                print(f"{mode:<10}{row['wall']['median']:>9.2f}{row['cpu']['median']:>9.2f}"
                      f"{row['rss_kib']['median'] / 1024:>9.1f}{row['mibs']['median']:>9.1f}")
            results["case6_engine"] = table
        if 7 in cases and args.engine:
            results["case7_peers"] = case7_peers(args, cli, tmp, root, nginx, big, fresh)
        if 9 in cases and args.engine:
            results["case9_swarm"] = case9_swarm(args, cli, tmp, fresh)
        if 8 in cases and args.update_pass and args.engine:
            # The engine update: manifest to engine started (unpacked into a
            # version folder, proved, switched to), for a package of the
            # engine and 20 MiB, then 250 MiB, of data, over https from nginx,
            # against unpacking the same archive with 7zz. The archive goes to
            # disk as it arrives, so the peak memory stays the same for both.
            base = os.path.join(root, "norvex/tlxdownload/update/v3_32")
            os.makedirs(base, exist_ok=True)
            version = subprocess.check_output([args.engine, "--version"], text=True).strip()
            for mib in (20, 250):
                pkg = os.path.join(tmp, f"package-{mib}")
                os.makedirs(pkg, exist_ok=True)
                shutil.copy2(args.engine, os.path.join(pkg, "TLXDownloadV32.exe"))
                write_random(os.path.join(pkg, "engine-data.bin"), mib * MIB)
                name = f"engine-{mib}.7z"
                archive = os.path.join(base, name)
                subprocess.check_call(["7zz", "a", "-t7z", "-mx=1", "-bso0", "-bsp0", archive,
                                       "TLXDownloadV32.exe", "engine-data.bin"], cwd=pkg)
                shutil.rmtree(pkg, ignore_errors=True)
                with open(archive + ".md4", "wb") as f:
                    subprocess.check_call([os.path.join(os.path.dirname(args.update_pass), "..",
                                                        "tools", "update-digest"), archive], stdout=f)
                url = f"https://127.0.0.1:{nginx.tls_port}/norvex/tlxdownload/update/v3_32/{name}"
                with open(os.path.join(base, "tlxdownload_updater.xml"), "w") as f:
                    f.write(f'<root><file><TLXDownloadV32.exe ver="{version}" url="{url}" '
                            f'hash="{url}.md4"/></file><all><all url="{url}" hash="{url}.md4"/></all></root>')
                print(f"\n== case8_update_pass ({mib} MiB package)", flush=True)
                runs = {"update_pass": [], "7zz_x": []}
                for _ in range(args.runs):
                    d = fresh("update")
                    data = fresh("update-data")
                    env = dict(os.environ, XDG_DATA_HOME=data, SSL_CERT_FILE=tls[0], TLX_NETWORK="up",
                               TLX_UPDATE_SERVER=f"127.0.0.1:{nginx.tls_port}",
                               TLX_ENGINE_PORT=str(free_port()), TLX_ENGINE_IDLE_EXIT="1")
                    r = timed([args.update_pass], d, env)
                    # The engine folder's executable names the version folder.
                    exe = os.path.realpath(os.path.join(data, "Norvex", "tlxDownloadV32",
                                                        "TLXDownloadV32.exe"))
                    engine_usage(exe)  # stops the started engine
                    r["installed"] = os.path.exists(os.path.join(os.path.dirname(exe),
                                                                 "engine-data.bin"))
                    runs["update_pass"].append(r)
                    shutil.rmtree(data, ignore_errors=True)
                    d = fresh("7zz")
                    r = timed(["7zz", "x", "-y", "-bso0", "-bsp0", "-o" + d, archive], d)
                    r["installed"] = os.path.exists(os.path.join(d, "engine-data.bin"))
                    runs["7zz_x"].append(r)
                    shutil.rmtree(d, ignore_errors=True)
                os.remove(archive)
                table = {}
                print(f"{'tool':<14}{'wall s':>9}{'cpu s':>9}{'rss MiB':>9}")
                for tool, rs in runs.items():
                    row = {k: summarize([r[k] for r in rs]) for k in ("wall", "cpu", "rss_kib")}
                    row["failed_runs"] = sum(1 for r in rs if r["rc"] != 0 or not r["installed"])
                    table[tool] = row
                    print(f"{tool:<14}{row['wall']['median']:>9.2f}{row['cpu']['median']:>9.2f}"
                          f"{row['rss_kib']['median'] / 1024:>9.1f}")
                results[f"case8_update_pass_{mib}mib"] = table
        summary = json.dumps(results, indent=2)
        print("\n== summary (JSON)\n" + summary)
        if args.json:
            with open(args.json, "w") as f:
                f.write(summary)
    finally:
        cleanup()


if __name__ == "__main__":
    main()
