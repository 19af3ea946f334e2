"""The benchmark's own moving parts: the parsers its verdicts rest on, the verdicts, and the
device peer every client meets (byte-exact replies, requests split or preceded by noise).

The peer tests need a bench build (bash bench/run.sh, or ORVANE_BENCH_BUILD=<build folder>);
without one they are skipped."""
import glob
import os
import select
import struct
import subprocess
import sys
import tty

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))
import bench  # noqa: E402

STRACE_SUMMARY = """\
% time     seconds  usecs/call     calls    errors syscall
------ ----------- ----------- --------- --------- ----------------
 37.04    0.006451           6      1010           poll
 28.59    0.004979           4      1012           write
 17.80    0.003100           2      1158         3 read
  0.08    0.000014           2         5         4 readlink
------ ----------- ----------- --------- --------- ----------------
100.00    0.017415           3      3185         7 total
"""

CALLGRIND_OUT = """\
version: 1
events: Ir
fn=(1) main
5 10
cfn=(2) std::chrono::_V2::steady_clock::now()
calls=3 0x0
5 60
fn=(2)
1 9
cfn=(3) clock_gettime@@GLIBC_2.17
calls=3 0x0
1 30
fn=(4) poll_wrapper
cfn=(3)
calls=2 0x0
2 20
cfn=(5) __clock_gettime64
calls=1 0x0
1 5
cfn=(6) clock_gettime_like_helper
calls=7 0x0
1 5
summary: 12345
"""


def test_strace_summary_counts_calls_whatever_their_errors():
    counts = bench.parse_strace_summary(STRACE_SUMMARY)
    assert counts == {"poll": 1010, "write": 1012, "read": 1158, "readlink": 5, "total": 3185}


def test_callgrind_total_and_clock_reads_through_compressed_names():
    # 3 + 2 calls of clock_gettime (the second through its compressed id) and one of the
    # internal name; the look-alike helper is not a clock read.
    assert bench.parse_callgrind(CALLGRIND_OUT) == (12345, 6)


def test_per_exchange_divides_the_difference_and_drops_the_total():
    with_n = {"write": 2012, "poll": 2010, "read": 4030, "total": 9000}
    with_0 = {"write": 12, "poll": 10, "read": 30, "mmap": 4, "total": 900}
    assert bench.per_exchange(with_n, with_0, 1000) == {
        "write": 2.0, "poll": 2.0, "read": 4.0, "mmap": -0.004}


def row(key, **fields):
    return dict({"key": key, "ok": True}, **fields)


@pytest.mark.parametrize("module, expected", [
    (dict(syscalls=4, instructions=5900), ["pass", "pass", "pass"]),
    (dict(syscalls=5, instructions=9300), ["MISS", "MISS", "MISS"]),
    (dict(syscalls=4, instructions=7001), ["pass", "pass", "MISS"]),  # pyserial / 5 = 7000
])
def test_python_module_verdicts(module, expected):
    rows = [row("py-module", **module), row("py-os", instructions=9300),
            row("py-pyserial", instructions=35000)]
    verdicts = [c["verdict"] for c in bench.targets(rows, []) if "Python" in c["target"]]
    assert verdicts == expected


def test_missing_clients_are_not_measured_and_wrong_replies_are_misses():
    checks = bench.targets([row("cpp", syscalls=4, instructions=700, allocations=0, ok=False)],
                           [{"key": "cpp", "waits": 3, "seconds": 1.0},
                            {"key": "py-module", "waits": 1, "seconds": 3.0}])
    by_name = {c["target"]: c["verdict"] for c in checks}
    assert by_name["Python end_effector_force: at most 4 system calls"] == "not measured"
    assert by_name["C++ SendForce + ReceiveState: at most 1,500 instructions"] == "pass"
    assert by_name["cpp: a timed-out read waits once"] == "MISS"
    assert by_name["py-module: a timed-out read waits once"] == "MISS"  # 3 s: too slow
    assert by_name["cpp: replies decoded correctly"] == "MISS"


# ---------------------------------------------------------------------------------------
# The device peer


def find_peer():
    candidates = []
    if os.environ.get("ORVANE_BENCH_BUILD"):
        candidates.append(os.path.join(os.environ["ORVANE_BENCH_BUILD"], "bench"))
    candidates += glob.glob(os.path.join(ROOT, "build*", "bench"))
    candidates += glob.glob(os.path.join(ROOT, "build", "*", "bench"))
    for folder in candidates:
        program = os.path.join(folder, "orvane-bench-peer")
        if os.access(program, os.X_OK):
            return program
    pytest.skip("no bench build (bash bench/run.sh, or set ORVANE_BENCH_BUILD)")


class PeerPort:
    def __init__(self, *args):
        self.process = subprocess.Popen([find_peer(), *args], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)
        path = self.process.stdout.readline().strip()
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)

    def send(self, data):
        os.write(self.fd, bytes(data))

    def receive(self, wait=0.3):
        out = b""
        while select.select([self.fd], [], [], wait)[0]:
            out += os.read(self.fd, 4096)
            wait = 0.05
        return out

    def close(self):
        os.close(self.fd)
        self.process.stdin.close()
        self.process.wait(timeout=5)


@pytest.fixture
def make_peer():
    peers = []

    def make(*args):
        peers.append(PeerPort(*args))
        return peers[-1]

    yield make
    for p in peers:
        p.close()


def state_reply(code, x, y, z):
    return bytes([code]) + struct.pack("<6f", x, y, z, -x, -y, -z)


@pytest.mark.parametrize("request_code, reply_code", [(0x2A, 0x2B), (0x2C, 0x2B),
                                                      (0x1A, 0x1B), (0x1C, 0x1B)])
def test_peer_answers_vector_requests_with_the_vector_and_its_negation(
        make_peer, request_code, reply_code):
    peer = make_peer()
    peer.send(bytes([request_code]) + struct.pack("<3f", 0.5, -1.25, 2.0))
    assert peer.receive() == state_reply(reply_code, 0.5, -1.25, 2.0)


@pytest.mark.parametrize("user_data", [0, 3])
def test_peer_status_message_carries_the_configured_user_data(make_peer, user_data):
    peer = make_peer("--status-data", str(user_data))
    peer.send(b"\xda")
    fixed = (bytes([0xDA, 0x34, 0x12, 0, 7]) + struct.pack("<4f", 1, 0, 0, 0)
             + bytes([user_data]))
    assert peer.receive() == fixed + bytes(range(1, user_data + 1))


def test_peer_joins_split_requests_and_skips_noise_and_state_messages(make_peer):
    peer = make_peer()
    request = b"\x2a" + struct.pack("<3f", 1, 2, 3)
    peer.send(b"\x55" + request[:5])  # a stray byte, then half a request
    assert peer.receive(0.2) == b""
    peer.send(request[5:] + b"\xdb\x01\x00\x02\xaa\xbb" + b"\xab")  # rest, state, current
    assert peer.receive() == state_reply(0x2B, 1, 2, 3) + b"\xab" + struct.pack("<3f", 1, 2, 3)


def test_peer_answers_each_request_in_one_piece(make_peer):
    peer = make_peer()
    peer.send(b"\x2a" + struct.pack("<3f", 1, 2, 3))
    assert select.select([peer.fd], [], [], 2.0)[0]
    assert len(os.read(peer.fd, 4096)) == 25  # the whole reply is there on the first read
