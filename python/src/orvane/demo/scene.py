"""orvane-demo --scene mujoco: the arm moves a tool that pushes a box across a table in a
MuJoCo scene stepped on the servo thread; the hand's push is the commanded force, and the
arm feels the box through the tool's coupling."""
import sys
import time

from orvane import scenes
from orvane.demo.common import Progress, live_view, pyplot, wait_for_state

# How often Python reads the scene for the summary and the plot.
SAMPLE_S = 0.01


def run(port, args):
    """Runs the scene for args.seconds; returns what summarise and plot need."""
    try:
        mujoco = scenes.require_mujoco()
        from orvane.haptics import LoopFault, MujocoScene, ServoLoop
    except ImportError as e:
        sys.exit(f"orvane-demo: {e}")
    model, data = scenes.load(scenes.demo_xml())
    mujoco.mj_forward(model, data)
    box_body = model.body("box").id
    box_qpos = int(model.jnt_qposadr[model.body_jntadr[box_body]])
    try:
        loop = ServoLoop(port, rate_hz=args.rate or 1000.0, max_force=args.max_force)
    except LoopFault as e:
        sys.exit(f"orvane-demo: no arm answered on {port}: {e}")
    samples = {"times": [], "tool": [], "box": [], "force": [], "on_box": []}
    first = wait_for_state(loop)
    if first is None:
        sys.exit(f"orvane-demo: the arm gave no state ({loop.fault or 'no cycle ran'})")
    with loop:
        # The arm's starting point is the tool's.
        loop.workspace(offset=tuple(scenes.DEMO_TOOL_START[i] - first.position[i]
                                    for i in range(3)))
        scene = loop.add(MujocoScene(model, data, body="tool", stiffness=args.scene_stiffness,
                                     damping=args.scene_damping))
        print(f"MuJoCo scene on the servo thread at {args.rate or 1000.0:g} Hz for "
              f"{args.seconds:g} s: the tool {100 * abs(scenes.DEMO_TOOL_START[0]):.0f} cm "
              f"from a 5 cm box; a {args.push:g} N push stands in for the hand")
        view = live_view(loop, getattr(args, "live", None))
        start = time.monotonic()
        progress = Progress(start)
        try:
            while (now := time.monotonic()) - start < args.seconds and loop.running:
                t = now - start
                # The push comes in over half a second and holds.
                loop.force = (args.push * min(1.0, t / 0.5), 0.0, 0.0)
                s = scene.snapshot()
                samples["times"].append(t)
                samples["tool"].append(s.tool)
                samples["box"].append(tuple(s.qpos[box_qpos:box_qpos + 3]))
                samples["force"].append(s.force)
                samples["on_box"].append(box_body in s.touching)
                if progress.due(now):
                    progress.show(f"{t:5.1f} s  tool x {s.tool[0]:+.4f} m  box x "
                                  f"{s.qpos[box_qpos]:+.4f} m  felt {s.force[0]:+6.2f} N  "
                                  f"contacts {s.contacts}")
                time.sleep(SAMPLE_S)
        except (KeyboardInterrupt, LoopFault):
            pass
        finally:
            view.__exit__(None, None, None)
        progress.done()
        stats, scene_stats = loop.stats(), scene.stats()
    if loop.fault:
        print(f"orvane-demo: the loop ended: {loop.fault}", file=sys.stderr)
    return {"answering": not loop.fault, "stats": stats, "scene": scene_stats, **samples}


def summarise(run):
    stats, scene = run["stats"], run["scene"]
    pe, step = stats["period_error_us"], scene["step_us"]
    print(f"Summary: {stats['cycles']} cycles, {stats['rate_hz']:.0f} Hz; period error p99 "
          f"{pe['p99']:.1f} us, p99.9 {pe['p999']:.1f} us")
    print(f"  MuJoCo {scene['mujoco']} step: median {step['p50']:.1f} us, p99 {step['p99']:.1f} "
          f"us, max {step['max']:.1f} us; {scene['overruns']} overruns, "
          f"{scene['unstable']} unstable cycles" +
          (f"; fault: {scene['fault']}" if scene["fault"] else ""))
    if run["box"]:
        moved = run["box"][-1][0] - run["box"][0][0]
        strongest = min((f[0] for f in run["force"]), default=0.0)
        # Only the tool's own contacts with the box: the box always touches the table.
        touching = sum(run["on_box"]) / len(run["on_box"])
        print(f"  the box moved {100 * moved:+.1f} cm; strongest contact force felt "
              f"{strongest:+.2f} N; tool on the box {100 * touching:.0f} % of the time")


def plot(run, path):

    plt = pyplot()
    if plt is None:
        return
    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(8, 5))
    t = run["times"]
    top.plot(t, [100 * p[0] for p in run["tool"]], label="tool x")
    top.plot(t, [100 * p[0] for p in run["box"]], label="box x")
    top.set_ylabel("position (cm)")
    top.legend(loc="upper left")
    bottom.plot(t, [f[0] for f in run["force"]], color="tab:red")
    bottom.set_ylabel("contact force felt x (N)")
    bottom.set_xlabel("time (s)")
    fig.suptitle("Pushing a box in a MuJoCo scene")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    print(f"Plot: {path}")
