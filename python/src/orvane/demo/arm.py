"""The wall demo on the arm (the native servo loop, or a loop in Python with --python-loop)
and the handle's orientations."""
import math
import sys
import time

try:
    import OrvaneHardwareAPI as api
except ImportError:
    sys.exit("orvane-demo: the OrvaneHardwareAPI module is not installed (pip install .)")

from orvane.demo.common import Progress, live_view, pyplot, wait_for_state
from orvane.stats import percentile

# Bars of the period error histogram in the plot.
PERIOD_ERROR_BINS = 60

# --- the arm ----------------------------------------------------------------------------------

def identify_arm(arm, port):
    info = arm.device_wakeup_dict()
    if info["device_id_ext"].int == 0 and info["device_model_number"] == 0:
        sys.exit(f"orvane-demo: no arm answered on {port}")
    print(f"Arm on {port}")
    print(f"  device id {info['device_id']}, model {info['device_model_number']}, "
          f"hardware {info['hardware_version']}, firmware {info['firmware_version']}")
    print(f"  identifier {info['device_id_ext']}")
    if info["device_model_number"] != 4:
        print(f"  note: model {info['device_model_number']} is not the arm's model number 4")


def haptic_loop(arm, args):
    """Renders a wall at x = wall (metres) as a spring; returns the recorded run."""
    position, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    if position == [0.0, 0.0, 0.0]:
        sys.exit("orvane-demo: the arm gave no state")
    wall = position[0] + args.wall_offset
    print(f"Haptic loop for {args.seconds:g} s: wall at x = {wall:+.4f} m, "
          f"stiffness {args.stiffness:g} N/m" +
          (f", a {args.push:g} N push stands in for the hand" if args.push else ""))

    times, positions, forces, exchange_us = [], [], [], []
    window = []
    force = [0.0, 0.0, 0.0]
    lost = 0
    start = time.perf_counter()
    progress = Progress(start)
    now = shown_at = start
    try:
        while now - start < args.seconds:
            t = now - start
            # The spring pushes back in proportion to how far the hand is inside the wall.
            penetration = position[0] - wall
            wall_force = -args.stiffness * penetration if penetration > 0 else 0.0
            hand = args.push * math.sin(2 * math.pi * args.push_hz * t)
            force = [wall_force + hand, 0.0, 0.0]

            before = time.perf_counter_ns()
            new_position, velocity = arm.end_effector_force(force)
            after = time.perf_counter_ns()
            if new_position == [0.0, 0.0, 0.0] and velocity == [0.0, 0.0, 0.0]:
                lost += 1
                if lost >= 3:
                    break
            else:
                lost = 0
                position = new_position
            us = (after - before) / 1000.0
            exchange_us.append(us)
            window.append(us)
            times.append(t)
            positions.append(position)
            forces.append(wall_force)

            now = time.perf_counter()
            if progress.due(now):
                window.sort()
                rate = len(window) / max(now - shown_at, 1e-9)
                shown_at = now
                progress.show(
                    f"{now - start:5.1f} s  {rate:7.0f} Hz  exchange median "
                    f"{percentile(window, 0.5):6.1f} us  p99 {percentile(window, 0.99):7.1f} us"
                    f"  x {position[0]:+.4f} y {position[1]:+.4f} z {position[2]:+.4f} m"
                    f"  wall {wall_force:+6.2f} N")
                window = []
    except KeyboardInterrupt:
        pass
    progress.done()
    if lost:
        print("orvane-demo: the arm stopped answering", file=sys.stderr)
    return {"answering": not lost, "wall": wall, "times": times, "positions": positions, "forces": forces,
            "exchange_us": exchange_us, "elapsed": time.perf_counter() - start}



def servo_haptic_loop(port, args):
    """The same wall as a native Wall effect of a ServoLoop; Python only moves the hand."""
    try:
        from orvane.haptics import LoopFault, ServoLoop, Wall
    except ImportError as e:
        sys.exit(f"orvane-demo: the servo loop is not available ({e}); try --python-loop")
    rows = int(args.rate * args.seconds * 1.25) + 1000 if args.rate else 1_000_000
    try:
        loop = ServoLoop(port, rate_hz=args.rate, max_force=args.max_force,
                         history=min(rows, 1_000_000))
    except LoopFault as e:
        sys.exit(f"orvane-demo: no arm answered on {port}: {e}")
    info = loop.device_info
    print(f"Arm on {port}")
    print(f"  device id {info['device_id']}, model {info['device_model_number']}, "
          f"hardware {info['hardware_version']}, firmware {info['firmware_version']}")
    print(f"  identifier {info['device_id_ext']}")

    start = time.monotonic()
    first = wait_for_state(loop)
    if first is None:
        sys.exit(f"orvane-demo: the arm gave no state ({loop.fault or 'no cycle ran'})")
    with loop:
        rt = loop.realtime
        print(f"  servo thread: {rt['scheduler']} priority {rt['priority']}, memory "
              f"{'locked' if rt['memory_locked'] else 'not locked'}"
              + (f" ({rt['message']})" if rt.get("message") else ""))
        wall = first.position[0] + args.wall_offset
        fixture = Wall(point=(wall, 0.0, 0.0), normal=(-1.0, 0.0, 0.0),
                       stiffness=args.stiffness)
        loop.add(fixture)
        view = live_view(loop, getattr(args, "live", None))  # it draws the wall unasked
        rate_text = f"{args.rate:g} Hz" if args.rate else "as fast as the arm answers"
        print(f"Servo loop at {rate_text} for {args.seconds:g} s: wall at x = {wall:+.4f} m, "
              f"stiffness {args.stiffness:g} N/m, force limit {args.max_force:g} N" +
              (f", a {args.push:g} N push stands in for the hand" if args.push else ""))
        start = time.monotonic()
        progress = Progress(start)
        try:
            while (now := time.monotonic()) - start < args.seconds and loop.running:
                hand = args.push * math.sin(2 * math.pi * args.push_hz * (now - start))
                loop.force = (hand, 0.0, 0.0)
                if progress.due(now):
                    stats, state = loop.stats(), loop.state()
                    x, y, z = state.position
                    progress.show(
                        f"{now - start:5.1f} s  {stats['rate_hz']:7.0f} Hz  period error p99 "
                        f"{stats['period_error_us']['p99']:6.1f} us  exchange p99 "
                        f"{stats['exchange_us']['p99']:6.1f} us  x {x:+.4f} y {y:+.4f} "
                        f"z {z:+.4f} m  force {state.force[0]:+6.2f} N")
                time.sleep(0.005)
        except (KeyboardInterrupt, LoopFault):
            pass
        finally:
            view.__exit__(None, None, None)
        progress.done()
    elapsed = time.monotonic() - start
    if loop.fault:
        print(f"orvane-demo: the arm stopped answering: {loop.fault}", file=sys.stderr)
    history = loop.history()
    return {"answering": not loop.fault, "wall": wall, "elapsed": elapsed,
            "stats": loop.stats(),
            "times": [float(t) for t in history["time"]],
            "positions": [tuple(map(float, p)) for p in history["position"]],
            "forces": [float(f[0]) for f in history["force"]],
            "force_label": "force sent x (N)",
            "exchange_us": [float(u) for u in history["exchange_us"]],
            "period_error_us": [float(u) for u in history["period_error_us"]]}


def summarise_servo(run):
    stats = run["stats"]
    if stats["cycles"] == 0:
        print("No cycles.")
        return
    pe, ex = stats["period_error_us"], stats["exchange_us"]
    print(f"Summary: {stats['cycles']} cycles, {stats['rate_hz']:.0f} Hz")
    print(f"  period error: median {pe['p50']:.1f} us, p99 {pe['p99']:.1f} us, "
          f"p99.9 {pe['p999']:.1f} us, max {pe['max']:.1f} us; {stats['overruns']} overruns")
    print(f"  exchange time: median {ex['p50']:.1f} us, p99 {ex['p99']:.1f} us, "
          f"max {ex['max']:.1f} us")
    print(f"  clamped {stats['clamped']}, non-finite {stats['non_finite']}, "
          f"watchdog trips {stats['watchdog_trips']}")
    deepest = max((p[0] - run["wall"] for p in run["positions"]), default=0.0)
    strongest = min(run["forces"], default=0.0)
    print(f"  deepest into the wall {max(deepest, 0.0) * 1000:.2f} mm, "
          f"strongest force sent {strongest:+.2f} N")


def summarise(run):
    n = len(run["times"])
    if n == 0:
        print("No exchanges.")
        return
    us = sorted(run["exchange_us"])
    deepest = max((p[0] - run["wall"] for p in run["positions"]), default=0.0)
    print(f"Summary: {n} exchanges in {run['elapsed']:.2f} s ({n / run['elapsed']:.0f} Hz)")
    print(f"  exchange time: median {percentile(us, 0.5):.1f} us, "
          f"99th percentile {percentile(us, 0.99):.1f} us, max {us[-1]:.1f} us")
    print(f"  deepest into the wall {max(deepest, 0.0) * 1000:.2f} mm, "
          f"strongest wall force {min(run['forces']):+.2f} N")



def plot(run, path):
    plt = pyplot()
    if plt is None:
        return
    step = max(1, len(run["times"]) // 5000)
    t = run["times"][::step]
    pos = run["positions"][::step]
    origin = run["positions"][0]
    errors = run.get("period_error_us")
    if errors:
        fig = plt.figure(figsize=(8, 7.5))
        top = fig.add_subplot(3, 1, 1)
        bottom = fig.add_subplot(3, 1, 2, sharex=top)
        spread = fig.add_subplot(3, 1, 3)
    else:
        fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(8, 5))
    for axis, name in enumerate("xyz"):
        top.plot(t, [1000 * (p[axis] - origin[axis]) for p in pos], label=name)
    top.axhline(1000 * (run["wall"] - origin[0]), color="grey", linestyle="--", label="wall")
    top.set_ylabel("position from start (mm)")
    top.legend(loc="upper right")
    bottom.plot(t, run["forces"][::step], color="tab:red")
    bottom.set_ylabel(run.get("force_label", "wall force x (N)"))
    bottom.set_xlabel("time (s)")
    if errors:
        spread.hist(errors, bins=PERIOD_ERROR_BINS, color="tab:green", log=True)
        spread.set_xlabel("period error: cycle start after its deadline (us)")
        spread.set_ylabel("cycles")
    fig.suptitle("Virtual wall")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    print(f"Plot: {path}")


# --- the handle -------------------------------------------------------------------------------

class ReportingHandle(api.Handle):
    """Keeps the handle's latest information and status."""

    def __init__(self, stream):
        super().__init__(stream)
        self.info = None
        self.status = None
        self.error = None

    def OnReceiveHandleInfo(self, tool_data_remaining, device_id, device_model_number,
                            hardware_version, firmware_version):
        self.info = (tool_data_remaining, device_id, device_model_number, hardware_version,
                     firmware_version)

    def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag,
                                     hall_effect_sensor_level, user_data_length, user_data):
        self.status = (quaternion, error_flag, hall_effect_sensor_level, user_data)

    def OnReceiveHandleErrorResponse(self, device_id, error_code):
        self.error = (device_id, error_code)


def show_handle(port, count=5):
    stream = api.SerialStream(port)  # kept referenced while the handle is used
    handle = ReportingHandle(stream)
    handle.SendDeviceWakeup()
    handle.Receive()
    if handle.info is None:
        print(f"orvane-demo: no handle answered on {port}")
        return False
    tool_data, device_id, model, hardware, firmware = handle.info
    print(f"Handle on {port}: device id {device_id}, model {model}, hardware {hardware}, "
          f"firmware {firmware}, tool data remaining {tool_data}")
    handle.SendHandleState(device_id, 1, 42)
    for _ in range(count):
        handle.status = None
        handle.RequestStatus()
        handle.Receive()
        if handle.status is None:
            print("  no status")
            continue
        (w, x, y, z), error_flag, hall, user_data = handle.status
        angle = math.degrees(2 * math.acos(max(-1.0, min(1.0, w))))
        print(f"  orientation w {w:+.3f} x {x:+.3f} y {y:+.3f} z {z:+.3f} "
              f"({angle:5.1f} deg)  hall {hall:3d}  error flag {error_flag}  "
              f"user data {user_data}")
        time.sleep(0.2)
    return True

