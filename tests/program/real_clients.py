#!/usr/bin/python3
"""Two libtorrent clients find each other only through a running norrik.

Two cases, each with a torrent of its own:
- two-processes: the seeder and the leecher are separate processes;
- one-process: the seeder and the leecher are two sessions in this process.
  libtorrent keeps one cache of tracker connection identifiers per process
  and tracker address, so the second session announces from its own port
  with the identifier the first one was given on another port.
Every session listens on 127.0.0.1 only, with DHT, local peer discovery, UPnP
and NAT-PMP off and no default plugins (so no peer exchange); the torrents
are private and v1-only (one info_hash). A case passes when the leecher holds
the complete file and a scrape of the tracker counted the seeder. Each case
is bounded in time.

Usage: real_clients.py <path of the norrik binary> [two-processes|one-process ...]
       real_clients.py --seed|--leech <torrent file> <directory>   (internal)
"""

import os
import random
import socket
import struct
import subprocess
import sys
import tempfile
import time

import libtorrent as lt

DEADLINE_SECONDS = 60  # for each case, and for each client process
FILE_SIZE = 384 * 1024


class Failure(Exception):
    pass


def wait_until(predicate, what, deadline):
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.2)
    raise Failure("timed out waiting for " + what)


# ---- the two clients ----------------------------------------------------

def make_session():
    settings = {
        "listen_interfaces": "127.0.0.1:0",
        "enable_dht": False,
        "enable_lsd": False,
        "enable_upnp": False,
        "enable_natpmp": False,
        # Every peer here is 127.0.0.1; without this the two are one peer.
        "allow_multiple_connections_per_ip": True,
    }
    # Flags 0: no default plugins, which leaves out peer exchange.
    return lt.session(settings, 0)


def client(role, torrent_file, directory):
    """Seeds until standard input closes, or leeches until complete."""
    deadline = time.monotonic() + DEADLINE_SECONDS
    session = make_session()
    handle = session.add_torrent({"ti": lt.torrent_info(torrent_file), "save_path": directory})
    try:
        wait_until(lambda: handle.status().is_seeding, "the " + role + " to hold every piece", deadline)
    except Failure as e:
        status = handle.status()
        print("%s: %s (state %s, progress %.2f, peers %d)" % (role, e, status.state, status.progress,
                                                              status.num_peers), flush=True)
        return 1
    if role == "seed":
        handle.force_reannounce()  # announce as a seeder now that the data is checked
        print("seeding", flush=True)
        sys.stdin.read()  # until the test closes our input
    session.pause()
    return 0


# ---- the test -----------------------------------------------------------

def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def scrape(port, info_hash):
    """(seeders, completed, leechers); None before the torrent has statistics;
    False when the tracker does not answer."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.bind(("127.0.0.1", 0))
        sock.settimeout(2)
        try:
            sock.sendto(struct.pack(">QII", 0x41727101980, 0, 0x1111), ("127.0.0.1", port))
            reply = sock.recvfrom(2048)[0]
            if len(reply) != 16 or struct.unpack(">II", reply[:8]) != (0, 0x1111):
                raise Failure("bad connect reply %r" % reply)
            sock.sendto(reply[8:16] + struct.pack(">II", 2, 0x2222) + info_hash, ("127.0.0.1", port))
            reply = sock.recvfrom(2048)[0]
        except (socket.timeout, ConnectionRefusedError):
            return False
    action, transaction = struct.unpack(">II", reply[:8])
    if action == 3:
        return None
    if action != 2 or transaction != 0x2222 or len(reply) != 1024:
        raise Failure("bad scrape reply %r" % reply[:64])
    return struct.unpack(">III", reply[8:20])


def spawn_client(role, torrent_file, directory, log):
    return subprocess.Popen([sys.executable, os.path.abspath(__file__), "--" + role, torrent_file, directory],
                            stdin=subprocess.PIPE, stdout=log, stderr=subprocess.STDOUT)


def stop(process):
    """Ends a process this script started; returns its status."""
    if process.stdin:
        process.stdin.close()
    try:
        return process.wait(timeout=20)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return "killed"


def make_torrent(root, name, port):
    """Writes a payload into <root>/<name>/seed and its torrent file; returns
    (torrent file, info_hash, payload, seeder's directory, leecher's directory)."""
    seed_dir = os.path.join(root, name, "seed")
    leech_dir = os.path.join(root, name, "leech")
    os.makedirs(seed_dir)
    os.makedirs(leech_dir)
    payload = random.Random(name).randbytes(FILE_SIZE)
    with open(os.path.join(seed_dir, "payload.bin"), "wb") as f:
        f.write(payload)

    files = lt.file_storage()
    lt.add_files(files, os.path.join(seed_dir, "payload.bin"))
    creator = lt.create_torrent(files, 16 * 1024, lt.create_torrent.v1_only)
    creator.add_tracker("udp://127.0.0.1:%d/announce" % port)
    creator.set_priv(True)  # private: peers come from trackers only
    lt.set_piece_hashes(creator, seed_dir)
    torrent_file = os.path.join(root, name, "payload.torrent")
    with open(torrent_file, "wb") as f:
        f.write(lt.bencode(creator.generate()))
    info_hash = lt.torrent_info(torrent_file).info_hashes().v1.to_bytes()
    return torrent_file, info_hash, payload, seed_dir, leech_dir


def wait_for_seeder(port, info_hash, deadline):
    def seeder_counted():
        counts = scrape(port, info_hash)
        return bool(counts) and counts[0] >= 1
    wait_until(seeder_counted, "a scrape to count the seeder", deadline)


def check_payload(leech_dir, payload):
    with open(os.path.join(leech_dir, "payload.bin"), "rb") as f:
        if f.read() != payload:
            raise Failure("the leecher's file differs from the seeder's")


def two_processes(root, port, deadline):
    torrent_file, info_hash, payload, seed_dir, leech_dir = make_torrent(root, "two-processes", port)
    seed_log_path = os.path.join(root, "two-processes", "seed.log")
    leech_log_path = os.path.join(root, "two-processes", "leech.log")
    with open(seed_log_path, "w") as seed_log, open(leech_log_path, "w") as leech_log:
        seeder = spawn_client("seed", torrent_file, seed_dir, seed_log)
        leecher = None
        try:
            wait_for_seeder(port, info_hash, deadline)
            leecher = spawn_client("leech", torrent_file, leech_dir, leech_log)
            status = leecher.wait(timeout=max(1, deadline - time.monotonic()))
            if status != 0:
                raise Failure("the leecher did not complete: " + open(leech_log_path).read())
        finally:
            for process in (leecher, seeder):
                if process is not None:
                    stop(process)
    check_payload(leech_dir, payload)


def describe(role, handle):
    status = handle.status()
    trackers = ["%s fails %d: %s" % (t["url"], t.get("fails", 0),
                                     "; ".join(e.get("message", "") for e in t.get("endpoints", [])))
                for t in handle.trackers()]
    return "%s: state %s, progress %.2f, peers %d, trackers %s" % (role, status.state, status.progress,
                                                                 status.num_peers, trackers)


def one_process(root, port, deadline):
    torrent_file, info_hash, payload, seed_dir, leech_dir = make_torrent(root, "one-process", port)
    seed_session = make_session()
    leech_session = make_session()
    seed = leech = None
    try:
        seed = seed_session.add_torrent({"ti": lt.torrent_info(torrent_file), "save_path": seed_dir})
        wait_until(lambda: seed.status().is_seeding, "the seeding session to hold every piece", deadline)
        seed.force_reannounce()  # announce as a seeder now that the data is checked
        wait_for_seeder(port, info_hash, deadline)
        leech = leech_session.add_torrent({"ti": lt.torrent_info(torrent_file), "save_path": leech_dir})
        wait_until(lambda: leech.status().is_seeding, "the leeching session to complete", deadline)
    except Failure as e:
        details = [describe(role, h) for role, h in (("seed", seed), ("leech", leech)) if h is not None]
        raise Failure(str(e) + "\n" + "\n".join(details))
    finally:
        seed_session.pause()
        leech_session.pause()
    check_payload(leech_dir, payload)
    if not ports_announcing_without_connect(os.path.join(root, "norrik.log")):
        raise Failure("no session announced from a port that had not connected: the case did not "
                      "reuse an identifier across ports")


def ports_announcing_without_connect(log_path):
    """Source ports of the tracker's log that sent an announce but never a connect."""
    connected, announced = set(), set()
    with open(log_path) as f:
        for line in f:
            if line.startswith(":: "):
                source, _, action = line[3:].strip().partition(" ACTION=")
                (connected if action == "0" else announced if action == "1" else set()).add(source)
    return announced - connected


CASES = {"two-processes": two_processes, "one-process": one_process}


def main():
    if len(sys.argv) == 4 and sys.argv[1] in ("--seed", "--leech"):
        return client(sys.argv[1][2:], sys.argv[2], sys.argv[3])
    if len(sys.argv) < 2 or any(name not in CASES for name in sys.argv[2:]):
        print(__doc__)
        return 2
    binary = os.path.abspath(sys.argv[1])
    names = sys.argv[2:] or list(CASES)

    with tempfile.TemporaryDirectory(prefix="norrik-clients-") as root:
        port = free_udp_port()
        conf = os.path.join(root, "norrik.conf")
        with open(conf, "w") as f:
            f.write("[database]\nfile=%s\n\n[tracker]\nport=%d\nthreads=2\nis_dynamic=1\n\n"
                    % (os.path.join(root, "tracker.db"), port))
        log_path = os.path.join(root, "norrik.log")
        problems = []
        with open(log_path, "w") as log:
            tracker = subprocess.Popen([binary, conf], cwd=root, stdin=subprocess.PIPE, stdout=log,
                                       stderr=subprocess.STDOUT)
            try:
                wait_until(lambda: scrape(port, bytes(20)) is not False, "the tracker to answer",
                           time.monotonic() + DEADLINE_SECONDS)
                for name in names:
                    try:
                        CASES[name](root, port, time.monotonic() + DEADLINE_SECONDS)
                        print("OK %s: transfer through the tracker complete, scrape saw the seeder" % name,
                              flush=True)
                    except (Failure, subprocess.TimeoutExpired) as e:
                        problems.append("%s: %s" % (name, e))
                        print("FAIL " + problems[-1], flush=True)
            except Failure as e:
                problems.append(str(e))
            status = stop(tracker)  # end of input: the tracker shuts down
        if status != 0:
            problems.append("the tracker ended with status %s" % status)
        if problems:
            print("---- tracker output (last lines) ----")
            print(open(log_path).read()[-3000:])
            print("FAIL: " + "; ".join(problems), flush=True)
            return 1
    print("OK: every case passed", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
