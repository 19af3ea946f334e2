"""What the demos share: the simulator process, the live status line, starting a loop on
the arm's first state, and matplotlib drawing to files."""
import os
import select
import shutil
import signal
import subprocess
import sys
import sysconfig

from orvane._extras import install_hint


# --- simulated devices ------------------------------------------------------------------------

def find_simulator(explicit=None):
    """orvane-sim from --sim, PATH, this script's folder or the environment's scripts."""
    candidates = [explicit] if explicit else [
        shutil.which("orvane-sim"),
        os.path.join(os.path.dirname(os.path.realpath(sys.argv[0])), "orvane-sim"),
        os.path.join(sysconfig.get_path("scripts"), "orvane-sim"),
    ]
    for path in candidates:
        if path and os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    sys.exit("orvane-demo: orvane-sim not found (install the package, or give --sim PATH)")


class Simulator:
    """An orvane-sim process; `port` is the pseudo-terminal it serves."""

    def __init__(self, binary, *args):
        self.proc = subprocess.Popen([binary, *args], stdout=subprocess.PIPE, text=True)
        ready = select.select([self.proc.stdout], [], [], 5.0)[0]
        self.port = self.proc.stdout.readline().strip() if ready else ""
        if not self.port:
            self.stop()
            sys.exit(f"orvane-demo: {binary} {' '.join(args)} did not start")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


# --- statistics and display -------------------------------------------------------------------

class Progress:
    """One status line, rewritten in place on a terminal, a line a second otherwise."""

    def __init__(self, start):
        self.live = sys.stdout.isatty()
        self.interval = 0.1 if self.live else 1.0
        self.next = start + self.interval

    def due(self, now):
        if now < self.next:
            return False
        self.next = now + self.interval
        return True

    def show(self, text):
        if self.live:
            sys.stdout.write("\r\033[K" + text)
        else:
            sys.stdout.write(text + "\n")
        sys.stdout.flush()

    def done(self):
        if self.live:
            sys.stdout.write("\n")



def wait_for_state(loop):
    """Starts the loop, which returns once the arm's state has come; None when it did not
    (the loop has then sent zero force and closed the port)."""
    from orvane.haptics import LoopFault

    try:
        loop.start()
    except LoopFault:
        return None
    return loop.state()



def live_view(loop, address, *effects):
    """A started orvane.live.LiveView of `loop` on `address` ('[HOST:]PORT'), or a context
    that does nothing when no address was given."""
    import contextlib

    if address is None:
        return contextlib.nullcontext()
    try:
        from orvane.live import LiveView, is_loopback
    except ImportError as e:
        sys.exit(f"orvane-demo: {e}")
    host, port = address
    try:
        view = LiveView(loop, host=host, port=port).start()
    except Exception as e:  # a port in use, a host not on this machine
        sys.exit(f"orvane-demo: no live view on {host}:{port}: {e}")
    view.show(*effects)
    print(f"Live view: {view.url} (Foxglove: open a connection to it)"
          + ("" if is_loopback(host) else f"; WARNING: served beyond this machine on {host}"),
          flush=True)
    return view


def pyplot():
    """matplotlib's pyplot drawing to files, or None (said) when matplotlib is missing."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no plot "
              f"({install_hint('plot')} adds it)")
        return None
    return plt

