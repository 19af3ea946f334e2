"""orvane-demo's command line."""
import argparse
import signal
import sys

try:
    import OrvaneHardwareAPI as api
except ImportError:
    sys.exit("orvane-demo: the OrvaneHardwareAPI module is not installed (pip install .)")

from orvane.demo.arm import (haptic_loop, identify_arm, plot, servo_haptic_loop,
                             show_handle, summarise, summarise_servo)
from orvane import __version__
from orvane.demo.common import Simulator, find_simulator

DESCRIPTION = ("Starts a simulated arm (or uses --port for a real one), wakes it and prints its "
               "identity, runs a haptic loop that renders a virtual wall as a spring force, "
               "shows the loop rate and exchange times live, sums them up, plots position and "
               "force over time (with matplotlib), then starts a simulated handle and prints a "
               "few of its orientations.")


def live_address(text):
    from orvane.live.view import parse_address

    try:
        return parse_address(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="orvane-demo", description=DESCRIPTION)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument("--port", help="a real arm's port (default: start a simulated arm)")
    parser.add_argument("--handle-port", help="a real handle's port (default: simulated)")
    parser.add_argument("--seconds", type=float, default=3.0, help="haptic loop length (3)")
    parser.add_argument("--stiffness", type=float, default=400.0, help="wall N/m (400)")
    parser.add_argument("--wall-offset", type=float, default=0.005,
                        help="wall distance in front of the start position, m (0.005)")
    parser.add_argument("--push", type=float, default=None,
                        help="amplitude of a sine push along x standing in for the hand, N "
                             "(1 with the simulator, 0 with a real arm)")
    parser.add_argument("--push-hz", type=float, default=0.5, help="push frequency (0.5)")
    parser.add_argument("--plot", default="orvane-demo.png", help="plot file (orvane-demo.png)")
    parser.add_argument("--no-plot", action="store_true", help="skip the plot")
    parser.add_argument("--sim", help="the orvane-sim program to use")
    parser.add_argument("--python-loop", action="store_true",
                        help="run the haptic loop in Python instead of the native servo loop")
    parser.add_argument("--rate", type=float, default=1000.0,
                        help="servo loop rate, Hz; 0: as fast as the arm answers (1000)")
    parser.add_argument("--max-force", type=float, default=5.0,
                        help="servo loop force limit, N (5)")
    parser.add_argument("--scene", choices=["mujoco"],
                        help="touch a scene instead of the wall: 'mujoco' pushes a box across "
                             "a table in a MuJoCo scene (needs MuJoCo: the [mujoco] extra)")
    parser.add_argument("--scene-stiffness", type=float, default=300.0,
                        help="the tool's coupling to the arm, N/m (300)")
    parser.add_argument("--scene-damping", type=float, default=3.0,
                        help="the tool's coupling damping, N s/m (3)")
    parser.add_argument("--live", metavar="[HOST:]PORT", type=live_address,
                        help="serve the servo loop to Foxglove on ws://HOST:PORT while it "
                             "runs (HOST 127.0.0.1 unless named; needs orvane[live])")
    args = parser.parse_args(argv)
    if args.seconds <= 0 or args.stiffness < 0:
        parser.error("--seconds must be positive and --stiffness not negative")
    if args.rate < 0 or args.max_force <= 0:
        parser.error("--rate must not be negative and --max-force must be positive")
    if args.live and args.python_loop:
        parser.error("--live shows the native servo loop, not --python-loop")
    if args.scene and (args.python_loop or args.rate == 0):
        parser.error("--scene runs on the native loop at a fixed --rate")
    if args.push is None:
        args.push = 0.0 if args.port else 1.0

    simulators = []
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        port = args.port
        if port is None:
            simulators.append(Simulator(find_simulator(args.sim), "arm"))
            port = simulators[-1].port
        if args.scene:
            from orvane.demo import scene

            run = scene.run(port, args)
            scene.summarise(run)
            if not args.no_plot and run["times"]:
                scene.plot(run, args.plot)
            return 0 if run["answering"] else 1
        if args.python_loop:
            stream = api.SerialStream(port)  # kept referenced while the arm is used
            arm = api.Varnix3(stream)
            identify_arm(arm, port)
            run = haptic_loop(arm, args)
            summarise(run)
            del arm, stream  # closes the arm's port
        else:
            run = servo_haptic_loop(port, args)  # the loop's port is closed on return
            summarise_servo(run)
        if not args.no_plot and run["times"]:
            plot(run, args.plot)
        if not run["answering"]:
            return 1

        handle_port = args.handle_port
        if handle_port is None:
            simulators.append(Simulator(find_simulator(args.sim), "handle"))
            handle_port = simulators[-1].port
        if not show_handle(handle_port):
            return 1
        return 0
    finally:
        for sim in simulators:
            sim.stop()


