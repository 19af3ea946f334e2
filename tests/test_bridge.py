"""The zenoh bridge against the simulated arm, with this test as the remote peer; every
session listens and connects on 127.0.0.1 only, with scouting off."""
import json
import math
import os
import random
import re
import signal
import socket
import struct
import subprocess
import sys
import time

import pytest

zenoh = pytest.importorskip("zenoh", reason="eclipse-zenoh is not installed (orvane[bridge])")

from orvane.bridge import wire  # noqa: E402
from orvane.bridge import Bridge, Inbox, loopback_config  # noqa: E402
from orvane.bridge.access import add_mutual_tls  # noqa: E402
from sim_process import start_sim, tool_env  # noqa: E402,F401

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PREFIX = "test/arm"


def wait_for(condition, timeout=5.0, what="the condition"):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.005)


@pytest.fixture
def peer(start_sim, tmp_path):
    """A started bridge on a simulated arm (with a trace) and a zenoh session connected to
    it; yields a function that makes them, so each test picks the bridge's options."""
    made = []

    def make(handle=False, **options):
        trace = tmp_path / "trace.txt"
        sim = start_sim("arm", "--trace", str(trace))
        endpoint = free_endpoint()
        bridge = Bridge(sim.path, start_sim("handle").path if handle else None, prefix=PREFIX,
                        zenoh_config=loopback_config(listen=[endpoint]), **options)
        bridge.start()
        session = zenoh.open(loopback_config(connect=[endpoint]))
        made.append((bridge, session))
        seen = {wire.MEASURED_CP: [], wire.OPERATING_STATE: [], wire.SETPOINT_CF: [],
                wire.MEASURED_CF: []}
        for topic, payloads in seen.items():
            session.declare_subscriber(f"{PREFIX}/{topic}",
                                       lambda s, p=payloads: p.append(s.payload.to_bytes()))
        pub = {t: session.declare_publisher(f"{PREFIX}/{t}") for t in (wire.SERVO_CF,
                                                                         wire.SERVO_CP)}
        wait_for(lambda: seen[wire.MEASURED_CP] and all(
            p.matching_status.matching for p in pub.values()), what="the bridge's session")
        return bridge, pub, seen, trace

    yield make
    for bridge, session in made:
        bridge.stop()
        session.close()


def command(topic, sequence, *values, ack=0, source=7, stamp=None):
    header = wire.Header(source, sequence, time.time() if stamp is None else stamp)
    return wire.pack(topic, header, ack, *values)


def trace_forces(path):
    rows = []
    for line in open(path).read().splitlines():
        fields = line.split()
        if len(fields) == 5:  # a vector request: the force
            rows.append((float(fields[0]), tuple(float(v) for v in fields[2:5])))
    return rows


def test_network_silence_ramps_the_force_out(peer):
    bridge, pub, _, trace = peer()
    start = time.monotonic()
    for i in range(1, 101):  # 0.5 s of commands at 200 Hz
        pub[wire.SERVO_CF].put(command(wire.SERVO_CF, i, 1.5, -0.25, 0.0))
        time.sleep(0.005)
    commanded_for = time.monotonic() - start
    time.sleep(0.5)
    assert bridge.stats()["servo_cf"]["applied"] == 100
    bridge.stop()
    rows = trace_forces(trace)
    full = [t for t, f in rows if f == (1.5, -0.25, 0.0)]
    assert full, "the commanded force never went out"
    # Full force while commanded and for the watchdog's 0.1 s after, then a ramp to zero.
    assert commanded_for - 0.1 < full[-1] - full[0] < commanded_for + 0.4
    after = [(t, f) for t, f in rows if t > full[-1]]
    zero = next(t for t, f in after if f == (0.0, 0.0, 0.0))
    assert 0.02 < zero - full[-1] < 0.2
    ramp = [f[0] for t, f in after if t <= zero]
    assert ramp == sorted(ramp, reverse=True)
    assert all(f == (0.0, 0.0, 0.0) for t, f in after if t >= zero)


def test_injected_loss_and_jitter_are_counted_and_never_reorder_commands(peer):
    seed, loss, n = 3, 0.2, 300
    bridge, pub, seen, _ = peer(delay_ms=30, jitter_ms=20, loss=loss, seed=seed,
                                loop_options={"watchdog_s": None})
    for i in range(1, n + 1):
        pub[wire.SERVO_CF].put(command(wire.SERVO_CF, i, i / 1000.0, 0.0, 0.0))
        time.sleep(0.001)
    def delivered():
        c = bridge.stats()["injected"]["in"]
        return c["passed"] + c["dropped"] == n and c["queued"] == 0

    wait_for(delivered, what="every command through the injected faults")
    time.sleep(0.05)
    s = bridge.stats()
    cf = s["servo_cf"]
    # The same seeded draws as the bridge's incoming side: which commands were dropped.
    rng, passed = random.Random(seed + 1), []
    for i in range(1, n + 1):
        if rng.random() >= loss:
            passed.append(i)
            rng.uniform(0.0, 0.02)
    assert s["injected"]["in"]["dropped"] == n - len(passed)
    assert cf["received"] == len(passed)
    assert cf["lost"] == passed[-1] - len(passed)
    assert cf["out_of_order"] > 0 and cf["applied"] + cf["out_of_order"] == len(passed), (cf, bridge.loop.fault)
    assert cf["late"] == cf["applied"]  # 30 ms on the way, 10 ms allowed
    assert bridge.loop.force == pytest.approx((passed[-1] / 1000.0, 0.0, 0.0), abs=1e-12)
    # The outgoing side drops and reorders the bridge's own messages too.
    sequences = [wire.unpack(wire.MEASURED_CP, p)[0].sequence for p in seen[wire.MEASURED_CP]]
    assert len(set(sequences)) == len(sequences)
    assert 0.1 < 1 - len(sequences) / (max(sequences) - min(sequences) + 1) < 0.3
    assert sequences != sorted(sequences)


def test_coupling_targets_and_bad_commands(peer):
    bridge, pub, seen, _ = peer()
    x, y, z = bridge.loop.state().position
    target = (x + 0.01, y, z)
    # Without a velocity (the shorter layout) and with one.
    pub[wire.SERVO_CP].put(command(wire.SERVO_CP, 1, *target, 300.0, 5.0))
    for i in range(2, 4):
        pub[wire.SERVO_CP].put(command(wire.SERVO_CP, i, *target, 300.0, 5.0, 0.0, 0.0, 0.0))
    pub[wire.SERVO_CP].put(b"\x00" * 10)
    pub[wire.SERVO_CP].put(command(wire.SERVO_CP, 4, *target, -1.0, 0.0))
    pub[wire.SERVO_CP].put(command(wire.SERVO_CP, 5, *target, 300.0, 5.0, stamp=math.inf))
    pub[wire.SERVO_CF].put(command(wire.SERVO_CF, 1, math.nan, 0.0, 0.0))
    wait_for(lambda: abs(bridge.loop.state().position[0] - target[0]) < 0.001,
             what="the arm at the coupling's target")
    s = bridge.stats()
    assert s["servo_cp"] | {"late": 0} == {
        "received": 6, "applied": 3, "late": 0, "lost": 0, "out_of_order": 0,
        "malformed": 1, "rejected": 2, "sources": 1, "restarts": 0}
    assert (bridge.coupling.stiffness, bridge.coupling.damping) == (300.0, 5.0)
    assert s["coupling"] == {"passivity": False, "passivity_cycles": 0, "dissipated_j": 0.0,
                             "observed_energy_j": 0.0}
    assert s["servo_cf"]["rejected"] == 1 and bridge.loop.force == (0.0, 0.0, 0.0)
    header, values = wire.unpack(wire.MEASURED_CP, seen[wire.MEASURED_CP][-1])
    assert values[3:] == (0.0, 0.0, 0.0, 0.0)  # no handle, no orientation
    assert abs(values[0] - target[0]) < 0.002


def test_coupling_extrapolates_one_interval_then_holds_on_silence(peer):
    bridge, pub, _, _ = peer(passivity=True)
    x, y, z = bridge.loop.state().position
    speed, interval, stamp = 0.05, 0.01, time.time()
    for i in range(1, 11):  # 10 ms apart by their stamps, moving along +x
        pub[wire.SERVO_CP].put(command(wire.SERVO_CP, i, x + speed * interval * i, y, z,
                                       200.0, 2.0, speed, 0.0, 0.0, stamp=stamp + i * interval))
        time.sleep(interval)
    time.sleep(0.3)
    held = bridge.coupling.state().target
    # The last target, plus one interval at its velocity: no further.
    assert held == pytest.approx((x + speed * interval * 11, y, z), abs=1e-7)
    time.sleep(0.1)
    assert bridge.coupling.state().target == held
    # A sender whose clock stepped back an hour is still followed.
    pub[wire.SERVO_CP].put(command(wire.SERVO_CP, 11, x, y, z, 200.0, 2.0, stamp=stamp - 3600))
    wait_for(lambda: bridge.coupling.state().target == pytest.approx((x, y, z), abs=1e-9),
             what="the target back at the start")
    s = bridge.stats()
    assert s["servo_cp"]["applied"] == 11 and bridge.coupling.passivity
    # Read a moment apart while the loop runs: the loop's count may have moved on.
    assert s["coupling"]["passivity"] and s["coupling"]["passivity_cycles"] <= \
        bridge.loop.stats()["passivity_cycles"]


def test_measured_state_carries_the_handles_orientation(peer):
    bridge, _, seen, _ = peer(handle=True)
    wait_for(lambda: bridge.listener.snapshot().sequence > 0, what="the handle's status")
    time.sleep(0.05)
    _, cp = wire.unpack(wire.MEASURED_CP, seen[wire.MEASURED_CP][-1])
    assert sum(q * q for q in cp[3:]) == pytest.approx(1.0, abs=1e-6)
    _, state = wire.unpack(wire.OPERATING_STATE, seen[wire.OPERATING_STATE][-1])
    assert state[:2] == (wire.RUNNING, wire.RUNNING) and state[2] > 0
    assert state[4:] == ("ENABLED", "ENABLED")


def test_the_force_sent_goes_out_as_setpoint_cf_and_its_deprecated_alias(peer):
    bridge, pub, seen, _ = peer()
    pub[wire.SERVO_CF].put(command(wire.SERVO_CF, 1, 0.5, 0.0, -0.25))
    wait_for(lambda: any(wire.unpack(wire.SETPOINT_CF, p)[1] == (0.5, 0.0, -0.25)
                         for p in seen[wire.SETPOINT_CF][-20:]), what="the force sent")
    wait_for(lambda: len(seen[wire.MEASURED_CF]) > 20, what="the deprecated alias")
    sent = set(seen[wire.SETPOINT_CF])
    assert all(p in sent for p in seen[wire.MEASURED_CF][1:-1])  # byte for byte
    _, state = wire.unpack(wire.OPERATING_STATE, seen[wire.OPERATING_STATE][-1])
    assert state[4:] == ("ENABLED", "NONE") and len(seen[wire.OPERATING_STATE][-1]) == 54
    # A state in the earlier layout (codes only) still reads, names taken from the codes.
    old = struct.pack("<IQdBBQd", 9, 1, 1.0, wire.FAULT, wire.NO_HANDLE, 7, 0.5)
    assert wire.unpack(wire.OPERATING_STATE, old)[1] == (2, 0, 7, 0.5, "FAULT", "NONE")


def test_inbox_fills_gaps_and_restarts_with_a_new_source():
    inbox = Inbox(late_s=1.0)
    now = time.time()
    accepted = [inbox.accept(wire.Header(src, seq, now), now)
                for src, seq in [(1, 1), (1, 2), (1, 6), (1, 4), (1, 6), (2, 1), (2, 2)]]
    assert accepted == [True, True, True, False, False, True, True]
    assert (inbox.lost, inbox.out_of_order, inbox.sources) == (2, 2, 2)


def test_inbox_cannot_be_locked_out_by_a_sequence():
    inbox = Inbox(late_s=1.0)
    now = time.time()

    def send(seq, stamp):
        return inbox.accept(wire.Header(1, seq, now + stamp), now)

    # A jump to the end of the count is taken as a new start, and so is the way back.
    assert [send(1, 0), send(2, 0), send(2**64 - 1, 0), send(3, 0), send(4, 0)] == [True] * 5
    assert (inbox.lost, inbox.out_of_order, inbox.restarts) == (0, 0, 2)
    # The same source counting again from 1 (its stamps later) is followed at once, while
    # stragglers from before (stamped earlier) are still dropped.
    assert [send(seq, 0) for seq in range(5, 100)] == [True] * 95
    assert [send(1, 1), send(2, 1), send(1, 0.5), send(3, 1)] == [True, True, False, True]
    assert (inbox.lost, inbox.out_of_order, inbox.restarts) == (0, 1, 3)


def test_a_refused_servo_cp_changes_nothing(peer):
    bridge, pub, _, trace = peer()
    x, y, z = bridge.loop.state().position
    cp = pub[wire.SERVO_CP]
    # Refused before any coupling exists: none is added, the arm feels nothing.
    cp.put(command(wire.SERVO_CP, 1, x + 0.05, y, z, 300.0, 5.0, stamp=1e300))
    cp.put(command(wire.SERVO_CP, 2**64 - 1, x + 0.05, y, z, 300.0, 5.0, math.nan, 0.0, 0.0))
    wait_for(lambda: bridge.stats()["servo_cp"]["rejected"] == 2, what="two refusals")
    time.sleep(0.2)
    assert bridge.coupling is None
    assert all(f == (0.0, 0.0, 0.0) for _, f in trace_forces(trace))
    # On a coupling: a refused message keeps its stiffness, damping and target, and does not
    # move the sequence on (3 follows 1 as if nothing came between).
    cp.put(command(wire.SERVO_CP, 1, x, y, z, 300.0, 5.0))
    wait_for(lambda: bridge.coupling is not None, what="the coupling")
    for stamp in (1e300, -1.0, math.nan):
        cp.put(command(wire.SERVO_CP, 2, x + 0.05, y, z, 900.0, 9.0, stamp=stamp))
    cp.put(command(wire.SERVO_CP, 2, x + 0.05, y, z, 900.0, -1.0))
    pub[wire.SERVO_CF].put(command(wire.SERVO_CF, 2**64 - 1, 2.0, 0.0, 0.0, stamp=math.inf))
    wait_for(lambda: bridge.stats()["servo_cp"]["rejected"] == 6, what="four more refusals")
    # The coupling itself refuses a change bad in any part before it applies any of it.
    with pytest.raises(ValueError, match="stiffness and damping"):
        bridge.coupling.update((x + 0.05, y, z), stiffness=900.0, damping=-1.0)
    time.sleep(0.1)
    assert (bridge.coupling.stiffness, bridge.coupling.damping) == (300.0, 5.0)
    assert bridge.coupling.state().target == pytest.approx((x, y, z), abs=1e-9)
    cp.put(command(wire.SERVO_CP, 3, x + 0.001, y, z, 400.0, 4.0))
    wait_for(lambda: bridge.coupling.damping == 4.0, what="the next good message")
    s = bridge.stats()
    assert (s["servo_cp"]["applied"], s["servo_cp"]["lost"], s["servo_cf"]["rejected"]) == \
        (2, 1, 1) and bridge.coupling.stiffness == 400.0 and bridge.loop.force == (0, 0, 0)


@pytest.mark.parametrize("mode", [["--mode", "force"], ["--mode", "position", "--passivity"]])
def test_teleoperation_example_feels_the_remote_wall(mode):
    env = tool_env()
    env["PYTHONPATH"] = os.pathsep.join(sys.path)
    for attempt in range(3):
        done = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "teleoperation.py"),
                               *mode, "--delay-ms", "20", "--seconds", "3"], env=env,
                              capture_output=True, text=True, timeout=60)
        # The verdict is about a link that keeps its 40 ms round trip and a simulator that
        # answers as an arm does. A machine too busy for either (the follower and zenoh are
        # not real-time; a starved simulator ends the loop, which goes to zero as it must)
        # makes a different experiment: run it again rather than judge the contact on it.
        rtt = re.search(r"round trip p50 ([\d.]+) ms", done.stdout)
        starved = "the arm stopped answering" in done.stdout
        if done.returncode == 0 or not (starved or (rtt and float(rtt.group(1)) >= 45.0)):
            break
    if os.environ.get("ORVANE_SANITIZED") == "1":
        # A sanitized build runs the same exchanges several times slower: the contact is
        # judged by the plain suite; here the run must only end with a report and no fault.
        assert "round trip p50" in done.stdout and "failed" not in done.stdout, \
            done.stdout + done.stderr
        return
    assert done.returncode == 0, done.stdout + done.stderr
    assert "the arm felt the remote wall" in done.stdout
    if "--passivity" in mode:
        # The coupling rests 0.5 mm past the wall; the 40 ms round trip never threw the arm
        # far beyond, because the passivity damping took out what the delay put in.
        peak = float(re.search(r"at most ([\d.]+) mm", done.stdout).group(1))
        cycles = int(re.search(r"acted in (\d+) cycles", done.stdout).group(1))
        assert peak < 1.5 and cycles > 0, done.stdout


def free_endpoint():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"tcp/127.0.0.1:{s.getsockname()[1]}"


def run_bridge(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.Popen([sys.executable, "-m", "orvane.bridge", *args], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


@pytest.mark.parametrize("args, error", [
    (["--loss", "2", "--listen", "{free}"],
     "orvane-bridge: the loss must be a probability (0..1), not 2.0"),
    (["--prefix", "a/*", "--listen", "{free}"], "orvane-bridge: the prefix must be a plain key"),
    (["--zenoh-config", "/nonexistent/z.json5"], "orvane-bridge: no zenoh configuration at"),
    (["--watchdog", "0"], "argument --watchdog: must be a number of seconds above 0"),
    (["--listen", "tcp/0.0.0.0:7447"], "without mutual TLS: listen tcp/0.0.0.0:7447"),
    # A configuration that leaves listen and scouting out gets zenoh's defaults: open.
    (["--zenoh-config", "{empty}"], "listen tcp/[::]:0; multicast scouting"),
    (["--tls-cert", "c.pem"], "--tls-cert, --tls-key and --tls-ca go together"),
])
def test_command_refuses_bad_options(start_sim, tmp_path, args, error):
    sim = start_sim("arm", "--trace", str(tmp_path / "trace.txt"))
    empty = tmp_path / "empty.json5"
    empty.write_text("{}")
    proc = run_bridge("--arm", sim.path,
                      *[a.format(empty=empty, free=free_endpoint()) for a in args])
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 2 and error in err and "Traceback" not in err, err
    # Refused before the arm was woken.
    assert trace_forces(tmp_path / "trace.txt") == []


def make_certificates(directory):
    """An authority, and certificates for 127.0.0.1 it signed for the bridge and a peer."""
    def make(name, *signed):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-nodes", "-days", "2", "-subj", f"/CN={name}",
                        "-keyout", f"{name}.key", "-out", f"{name}.pem", *signed], cwd=directory,
                       check=True, capture_output=True)
        return str(directory / f"{name}.pem"), str(directory / f"{name}.key")

    ca = make("ca")[0]
    return {w: make(w, "-CA", "ca.pem", "-CAkey", "ca.key", "-addext", "basicConstraints=CA:FALSE",
                    "-addext", "subjectAltName=IP:127.0.0.1") for w in ("bridge", "peer")}, ca


def test_mutual_tls_on_loopback_lets_only_a_certified_peer_command(start_sim, tmp_path):
    certs, ca = make_certificates(tmp_path)
    trace = tmp_path / "trace.txt"
    port = free_endpoint().rsplit(":", 1)[1]
    tls = f"tls/127.0.0.1:{port}"
    proc = run_bridge("--arm", start_sim("arm", "--trace", str(trace)).path, "--listen", tls,
                      "--prefix", PREFIX, "--tls-cert", certs["bridge"][0], "--tls-key",
                      certs["bridge"][1], "--tls-ca", ca)
    assert proc.stdout.readline() == f"orvane-bridge: {PREFIX} at 500 Hz\n", proc.stderr.read()
    # TLS to the right authority but without a certificate, or plain TCP: never let in.
    anonymous = loopback_config(connect=[tls])
    anonymous.insert_json5("transport/link/tls/root_ca_certificate", json.dumps(ca))
    for config, force in ((anonymous, 3.0), (loopback_config(connect=[f"tcp/127.0.0.1:{port}"]),
                          3.0), (add_mutual_tls(loopback_config(connect=[tls]), *certs["peer"],
                                                ca), 0.5)):
        with zenoh.open(config) as session:
            pub = session.declare_publisher(f"{PREFIX}/{wire.SERVO_CF}")
            if force == 0.5:
                wait_for(lambda: pub.matching_status.matching, what="the certified peer")
            for i in range(1, 21):
                pub.put(command(wire.SERVO_CF, i, force, 0.0, 0.0, source=int(force * 10)))
                time.sleep(0.01)
            time.sleep(0.2)
            assert pub.matching_status.matching == (force == 0.5)
    proc.send_signal(signal.SIGTERM)
    out, err = proc.communicate(timeout=10)
    assert proc.returncode == 0 and json.loads(out)["servo_cf"]["received"] == 20, err
    assert max(f[0] for _, f in trace_forces(trace)) == 0.5


@pytest.mark.parametrize("sim_args, rc, error, last_state", [
    ([], 0, "", wire.STOPPED),  # stopped by SIGTERM
    # The arm hangs up after 1.5 s of replies: time for the subscriber to be heard first.
    (["--hangup-after", "1500"], 1, "orvane-bridge: the loop failed: ", wire.FAULT),
])
def test_command_ends_with_zero_force_and_says_why(start_sim, tmp_path, sim_args, rc, error,
                                                    last_state):
    trace = tmp_path / "trace.txt"
    sim = start_sim("arm", "--trace", str(trace), *sim_args)
    endpoint = free_endpoint()
    proc = run_bridge("--arm", sim.path, "--listen", endpoint, "--prefix", PREFIX,
                      "--passivity")
    assert proc.stdout.readline() == f"orvane-bridge: {PREFIX} at 500 Hz\n"
    states = []
    with zenoh.open(loopback_config(connect=[endpoint])) as session:
        session.declare_subscriber(f"{PREFIX}/{wire.OPERATING_STATE}",
                                   lambda s: states.append(s.payload.to_bytes()))
        wait_for(lambda: states, what="the operating state")
        if not sim_args:
            proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=10)
        time.sleep(0.1)
    assert proc.returncode == rc and error in err, err
    stats = json.loads(out)
    assert stats["published"]["measured_cp"] > 0 and stats["coupling"]["passivity"]
    assert wire.unpack(wire.OPERATING_STATE, states[-1])[1][:2] == (last_state, wire.NO_HANDLE)
    if not sim_args:
        assert trace_forces(trace)[-1][1] == (0.0, 0.0, 0.0)
