"""The delayed coupling, for bench/scenes.py: a proxy in the program's own simulation (a mass
on a little damping) coupled to the arm by a Coupling at 1 kHz. The program steps the proxy
at 500 Hz with the opposite of what the arm felt (coupling.state().force) and sends its
position on; the loop sees each update `delay` late, as over a network. Run with passivity off
and on, the arm's peak-to-peak motion and the force's sign changes per second tell whether
the passivity damping calms the ringing the delay puts in, or adds to it.
"""
import collections
import math
import time

import servo  # the servo benchmark: waiting for a loop's first cycle

DELAYS_MS = (20, 50, 100)
RATE = 1000.0
PROGRAM_HZ = 500.0
PROXY_MASS = 0.3  # kg
PROXY_DAMPING = 1.0  # N s/m, to the proxy's ground
STIFFNESS = 200.0  # N/m, of the coupling
DAMPING = 2.0  # N s/m
START_OFFSET = 0.02  # m, the proxy starts this far from the arm along x
MAX_FORCE = 5.0
SETTLE_S = 1.5  # the soft start and the first swing are left out
DEADBAND_N = 0.05  # a sign change counts once the force is beyond this either way
# Below these, off and on both have come to rest and what is left is the noise of a shared
# machine; so is 5 % above them.
SETTLED_MM = 0.05
SETTLED_CHANGES = 0.5
TARGET_HALVED_AT_MS = 100


def sign_changes(values, deadband):
    changes, last = 0, 0
    for v in values:
        s = 1 if v > deadband else -1 if v < -deadband else 0
        if s and last and s != last:
            changes += 1
        last = s or last
    return changes


def delayed_way(port, seconds, delay_ms, passivity):
    from orvane.haptics import Coupling, ServoLoop

    rows = int(RATE * seconds * 1.25) + 1000
    # The figures are about motion, not timing: a simulator starved for a moment by a busy
    # machine should not end the run.
    loop = ServoLoop(port, rate_hz=RATE, max_force=MAX_FORCE, history=rows, reply_timeout_s=1.0,
                     watchdog_s=1.5)
    loop.start()
    servo.wait_for_cycles(loop)
    home = loop.state().position
    xp, vp = home[0] + START_OFFSET, 0.0
    coupling = loop.add(Coupling(target=(xp, home[1], home[2]), stiffness=STIFFNESS,
                                 damping=DAMPING, passivity=passivity))
    in_flight = collections.deque()
    delay_ns = int(delay_ms * 1e6)
    step = 1.0 / PROGRAM_HZ
    start = time.monotonic()
    last = start
    next_step = start
    try:
        while (now := time.monotonic()) - start < seconds and loop.running:
            dt = min(now - last, 5 * step)
            last = now
            felt = coupling.state().force[0]
            vp += (-felt - PROXY_DAMPING * vp) / PROXY_MASS * dt
            xp += vp * dt
            now_ns = time.monotonic_ns()
            in_flight.append((now_ns + delay_ns, xp, vp, now_ns))
            while in_flight and in_flight[0][0] <= now_ns:
                _, x, v, stamp = in_flight.popleft()
                coupling.update(target=(x, home[1], home[2]), velocity=(v, 0.0, 0.0),
                                stamp_ns=stamp)
            next_step += step
            time.sleep(max(0.0, next_step - time.monotonic()))
        history = loop.history()
        stats = loop.stats()
        state = coupling.state()
    finally:
        loop.stop()
    if loop.fault:
        raise RuntimeError(f"the servo loop failed: {loop.fault}")
    times = [float(t) for t in history["time"]]
    t0 = times[0] if times else 0.0
    kept = [i for i, t in enumerate(times) if t - t0 >= SETTLE_S]
    xs = [float(history["position"][i][0]) for i in kept]
    fs = [float(history["force"][i][0]) for i in kept]
    span = times[kept[-1]] - times[kept[0]] if len(kept) > 1 else 0.0
    return {"delay_ms": delay_ms, "passivity": passivity,
            "peak_to_peak_mm": (max(xs) - min(xs)) * 1e3 if xs else None,
            "sign_changes_per_s": sign_changes(fs, DEADBAND_N) / span if span > 0 else None,
            "passivity_cycles": state.passivity_cycles, "dissipated_j": state.dissipated_j,
            "cycles": stats["cycles"], "rate_hz": stats["rate_hz"]}


def plan():
    """(worker arguments, label) of each way, off before on at each delay."""
    return [(["--delay-ms", str(d)] + (["--passivity"] if on else []),
             f"delayed coupling {d} ms, passivity {'on' if on else 'off'}")
            for d in DELAYS_MS for on in (False, True)]


def summary(by_label):
    """The table rows, the figures and the target checks from the ways' results."""
    rows, figures, checks = [], {}, []
    for d in DELAYS_MS:
        off = by_label.get(f"delayed coupling {d} ms, passivity off", {})
        on = by_label.get(f"delayed coupling {d} ms, passivity on", {})
        pair = {}
        for key in ("peak_to_peak_mm", "sign_changes_per_s"):
            pair[key] = (off.get(key), on.get(key))
            figures[f"delayed_{d}ms_{key}_off"] = off.get(key)
            figures[f"delayed_{d}ms_{key}_on"] = on.get(key)
        rows.append([f"{d} ms", *pair["peak_to_peak_mm"], *pair["sign_changes_per_s"],
                     on.get("passivity_cycles")])
        for key, what, floor in (("peak_to_peak_mm", "peak-to-peak", SETTLED_MM),
                                 ("sign_changes_per_s", "force sign changes/s", SETTLED_CHANGES)):
            a, b = pair[key]
            ok = a is not None and b is not None and b <= a * 1.05 + floor
            checks.append({"target": f"delayed {d} ms: passivity on no worse than off "
                                     f"(within 5 % + {floor:g}) in {what}",
                           "value": None if a is None or b is None else b - a, "ok": ok})
        if d == TARGET_HALVED_AT_MS:
            a, b = pair["peak_to_peak_mm"]
            ratio = b / a if a and b is not None else None
            checks.append({"target": f"delayed {d} ms: passivity on halves the peak-to-peak",
                           "value": ratio, "ok": ratio is not None and ratio <= 0.5})
    return rows, figures, checks


def table(rows):
    head = ["delay", "p-p off mm", "p-p on mm", "sign chg/s off", "sign chg/s on",
            "damped cycles"]

    def cell(v):
        if v is None:
            return "-"
        return f"{v:.2f}" if isinstance(v, float) and not math.isnan(v) else str(v)

    body = [[cell(v) for v in r] for r in rows]
    widths = [max(len(str(r[i])) for r in [head] + body) for i in range(len(head))]
    line = lambda cells: "| " + " | ".join(str(c).rjust(w) for c, w in zip(cells, widths)) + " |"
    return "\n".join([line(head), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
                     + [line(r) for r in body])
