"""orvane-plot: draws a recording's position, force and period error over time."""
import argparse
import sys
from typing import List, Optional

from orvane import __version__
from orvane._extras import install_hint


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="orvane-plot",
        description="Plot a session recorded by a servo loop or a handle listener: position, "
                    "force and period error over time (a handle's orientation and hall-effect "
                    "level).")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument("file", help="the recording (.mcap)")
    parser.add_argument("-o", "--output", metavar="PNG",
                        help="write the figure to this file instead of showing it")
    args = parser.parse_args(argv)

    from orvane.recording import load

    try:
        recording = load(args.file)
    except (OSError, ValueError) as e:
        print(f"orvane-plot: {args.file}: {e}", file=sys.stderr)
        return 1
    try:
        import matplotlib

        if args.output:
            matplotlib.use("Agg")  # no display needed for a file
        import matplotlib.pyplot as plt
    except ImportError:
        print(f"orvane-plot: needs matplotlib: {install_hint('plot')}",
              file=sys.stderr)
        return 1
    if len(recording) == 0:
        print(f"orvane-plot: {args.file}: no records", file=sys.stderr)
        return 1

    c = recording.cycles
    t = c["time"]
    if recording.kind == "arm":
        panels = [("position (m)", c["position"], "xyz"), ("force sent (N)", c["force"], "xyz"),
                  ("period error (us)", c["period_error_us"][:, None], [""])]
    else:
        panels = [("orientation", c["quaternion"], "wxyz"),
                  ("hall effect", c["hall_effect"][:, None], [""])]
    figure, axes = plt.subplots(len(panels), 1, sharex=True, figsize=(9, 2.4 * len(panels)))
    for ax, (label, values, names) in zip(axes, panels):
        for k, name in enumerate(names):
            ax.plot(t, values[:, k], label=name or None, linewidth=0.8)
        ax.set_ylabel(label)
        if any(names):
            ax.legend(loc="upper right", fontsize="small")
        ax.grid(True, alpha=0.3)
    for marker in recording.lost:
        for ax in axes:
            ax.axvline(marker.get("time") or 0.0, color="red", alpha=0.5, linewidth=0.8)
    axes[-1].set_xlabel("time (s)")
    end = "" if recording.complete else " (cut short)"
    axes[0].set_title(f"{args.file}: {len(recording)} {recording.kind} records, "
                      f"{sum(m.get('count', 0) for m in recording.lost)} lost{end}")
    figure.tight_layout()
    if args.output:
        figure.savefig(args.output, dpi=100)
    else:
        plt.show()
    return 0


if __name__ == "__main__":
    sys.exit(main())
