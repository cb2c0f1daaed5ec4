#!/usr/bin/python3
"""Two libtorrent clients find each other only through a running norrik.

The seeder and the leecher are separate processes (libtorrent keeps one
cache of tracker connection identifiers per process, and norrik binds an
identifier to the address and port it was issued to). Both listen on
127.0.0.1 only, with DHT, local peer discovery, UPnP and NAT-PMP off and no
default plugins (so no peer exchange); the torrent is private and v1-only
(one info_hash). The test passes when the leecher holds the complete file and
a scrape of the tracker counts the seeder. Everything is bounded in time.

Usage: real_clients.py <path of the norrik binary>
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

DEADLINE_SECONDS = 90
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


def transfer(root, port, deadline):
    seed_dir = os.path.join(root, "seed")
    leech_dir = os.path.join(root, "leech")
    os.makedirs(seed_dir)
    os.makedirs(leech_dir)
    payload = random.Random(6969).randbytes(FILE_SIZE)
    with open(os.path.join(seed_dir, "payload.bin"), "wb") as f:
        f.write(payload)

    files = lt.file_storage()
    lt.add_files(files, os.path.join(seed_dir, "payload.bin"))
    creator = lt.create_torrent(files, 16 * 1024, lt.create_torrent.v1_only)
    creator.add_tracker("udp://127.0.0.1:%d/announce" % port)
    creator.set_priv(True)  # private: peers come from trackers only
    lt.set_piece_hashes(creator, seed_dir)
    torrent_file = os.path.join(root, "payload.torrent")
    with open(torrent_file, "wb") as f:
        f.write(lt.bencode(creator.generate()))
    info_hash = lt.torrent_info(torrent_file).info_hashes().v1.to_bytes()

    wait_until(lambda: scrape(port, info_hash) is not False, "the tracker to answer", deadline)

    with open(os.path.join(root, "seed.log"), "w") as seed_log, open(os.path.join(root, "leech.log"), "w") as leech_log:
        seeder = spawn_client("seed", torrent_file, seed_dir, seed_log)
        leecher = None
        try:
            def seeder_counted():
                counts = scrape(port, info_hash)
                return bool(counts) and counts[0] >= 1
            wait_until(seeder_counted, "a scrape to count the seeder", deadline)

            leecher = spawn_client("leech", torrent_file, leech_dir, leech_log)
            status = leecher.wait(timeout=max(1, deadline - time.monotonic()))
            if status != 0:
                raise Failure("the leecher did not complete: " + open(os.path.join(root, "leech.log")).read())
        finally:
            for process in (leecher, seeder):
                if process is not None:
                    stop(process)

    with open(os.path.join(leech_dir, "payload.bin"), "rb") as f:
        if f.read() != payload:
            raise Failure("the leecher's file differs from the seeder's")


def main():
    if len(sys.argv) == 4 and sys.argv[1] in ("--seed", "--leech"):
        return client(sys.argv[1][2:], sys.argv[2], sys.argv[3])
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    binary = os.path.abspath(sys.argv[1])
    deadline = time.monotonic() + DEADLINE_SECONDS

    with tempfile.TemporaryDirectory(prefix="norrik-clients-") as root:
        port = free_udp_port()
        conf = os.path.join(root, "norrik.conf")
        with open(conf, "w") as f:
            f.write("[database]\nfile=%s\n\n[tracker]\nport=%d\nthreads=2\nis_dynamic=1\n\n"
                    % (os.path.join(root, "tracker.db"), port))
        log_path = os.path.join(root, "norrik.log")
        with open(log_path, "w") as log:
            tracker = subprocess.Popen([binary, conf], cwd=root, stdin=subprocess.PIPE, stdout=log,
                                       stderr=subprocess.STDOUT)
            problem = None
            try:
                transfer(root, port, deadline)
            except (Failure, subprocess.TimeoutExpired) as e:
                problem = str(e)
            status = stop(tracker)  # end of input: the tracker shuts down
        if problem is None and status != 0:
            problem = "the tracker ended with status %s" % status
        if problem is not None:
            print("---- tracker output (last lines) ----")
            print(open(log_path).read()[-3000:])
            print("FAIL: " + problem, flush=True)
            return 1
    print("OK: transfer through the tracker complete, scrape saw the seeder", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
