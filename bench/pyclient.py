"""The Python clients of the benchmark, one exchange each, run one per process.

    python3 bench/pyclient.py CLIENT PORT timed|count WARMUP COUNT

CLIENT is one of:
    module     OrvaneHardwareAPI: Varnix3.end_effector_force (force request, state reply)
    pyserial   the same exchange written with pyserial's Serial.write and Serial.read
    os         the same exchange written with os.write, select.poll, os.read and struct
    handle     OrvaneHardwareAPI: a Handle subclass, RequestStatus + Receive

Prints one JSON line, like the C++ clients (bench/harness.h). Exit status 3 means the
client cannot run here (the module or pyserial is missing), with the reason in "error".
"""
import gc
import json
import os
import select
import struct
import sys
import time
import tty

FORCE = [0.5, -1.25, 2.0]
FORCE_REQUEST = 0x2A
STATE_REPLY = 0x2B
REPLY_SIZE = 25
READ_WAIT_MS = 1000

request_codec = struct.Struct("<B3f")
reply_codec = struct.Struct("<B6f")


def state_ok(result):
    if not result:
        return False
    position, velocity = result
    return position[0] == FORCE[0] and velocity[2] == -FORCE[2]


def import_module():
    try:
        import OrvaneHardwareAPI as api
    except ImportError as error:
        unavailable(f"OrvaneHardwareAPI cannot be imported: {error}")
    return api


def module_client(path):
    api = import_module()
    if not hasattr(api, "Varnix3"):
        unavailable("OrvaneHardwareAPI has no Varnix3 class yet")
    stream = api.SerialStream(path)
    arm = api.Varnix3(stream)
    force = FORCE

    def exchange():
        return arm.end_effector_force(force)

    return exchange, state_ok, (stream, arm)


def pyserial_client(path):
    try:
        import serial
    except ImportError as error:
        unavailable(f"pyserial is not installed: {error}")
    port = serial.Serial(path, 115200, timeout=READ_WAIT_MS / 1000)
    pack, unpack, force = request_codec.pack, reply_codec.unpack, FORCE

    def exchange():
        port.write(pack(FORCE_REQUEST, *force))
        data = port.read(REPLY_SIZE)
        if len(data) < REPLY_SIZE:
            return None
        values = unpack(data)
        return values[1:4], values[4:7]

    return exchange, state_ok, port


def os_client(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd)
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    wait, read, write = poller.poll, os.read, os.write
    pack, unpack_from, force = request_codec.pack, reply_codec.unpack_from, FORCE

    def exchange():
        write(fd, pack(FORCE_REQUEST, *force))
        data = b""
        while len(data) < REPLY_SIZE:
            if not wait(READ_WAIT_MS):
                return None
            data += read(fd, 64)
        values = unpack_from(data)
        return values[1:4], values[4:7]

    return exchange, state_ok, fd


def handle_client(path):
    api = import_module()
    if not hasattr(api, "Handle"):
        unavailable("OrvaneHardwareAPI has no Handle class yet")

    class StatusHandle(api.Handle):
        quaternion = None

        def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag,
                                         hall_effect_sensor_level, user_data_length, user_data):
            self.quaternion = quaternion

    stream = api.SerialStream(path)
    handle = StatusHandle(stream)

    def exchange():
        handle.quaternion = None
        handle.RequestStatus()
        return handle.Receive(), handle.quaternion

    def ok(result):
        return bool(result) and result[0] >= 21 and result[1] is not None and result[1][0] == 1.0

    return exchange, ok, (stream, handle)


CLIENTS = {"module": module_client, "pyserial": pyserial_client, "os": os_client,
           "handle": handle_client}


def unavailable(reason):
    print(json.dumps({"error": reason}))
    sys.exit(3)


def sample_machine():
    """(total, idle, steal, peer) clock ticks: see SampleMachine in bench/harness.h."""
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:9]]
    peer = 0
    pid = os.environ.get("ORVANE_BENCH_PEER_PID")
    if pid:
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            peer = int(fields[11]) + int(fields[12])  # user and system time
        except OSError:
            pass
    return sum(v), v[3] + v[4], v[7], peer


def main(argv):
    if len(argv) != 6 or argv[1] not in CLIENTS or argv[3] not in ("timed", "count"):
        sys.exit(f"usage: {argv[0]} {'|'.join(CLIENTS)} PORT timed|count WARMUP COUNT")
    name, path, mode, warmup, count = argv[1], argv[2], argv[3], int(argv[4]), int(argv[5])
    exchange, ok, keep = CLIENTS[name](path)
    result = None
    for _ in range(warmup):
        result = exchange()
    times = []
    cpu = wall = 0.0
    m0 = m1 = (0, 0, 0, 0)
    if mode == "timed":
        times = [0] * count
        clock = time.perf_counter_ns
        m0 = sample_machine()
        cpu0, wall0 = time.process_time(), time.perf_counter()
        for i in range(count):
            t0 = clock()
            result = exchange()
            times[i] = clock() - t0
        cpu, wall = time.process_time() - cpu0, time.perf_counter() - wall0
        m1 = sample_machine()
    else:
        for _ in range(count):
            result = exchange()
    times.sort()

    def pick(q):
        return times[int(q * (len(times) - 1))] / 1000 if times else 0.0

    print(json.dumps({
        "client": name, "exchange": "status" if name == "handle" else "arm", "mode": mode,
        "count": count, "ok": bool(ok(result)) if (warmup or count) else True,
        "allocations": None, "cpu_s": cpu, "wall_s": wall, "median_us": pick(0.5),
        "p99_us": pick(0.99), "max_us": pick(1.0),
        "machine_ticks": dict(zip(("total", "idle", "steal", "peer"),
                                  (b - a for a, b in zip(m0, m1))))}))
    sys.stdout.flush()
    del keep
    gc.collect()


if __name__ == "__main__":
    main(sys.argv)
