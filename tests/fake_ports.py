"""A chosen port table, in a private mount namespace.

Detection reads the machine's tty class folder and opens what it lists, so programs that
detect run where a fake class folder covers /sys/class/tty and the device nodes under /dev
are pseudo-terminals played by the test (or simulator ports); the machine's own ports stay
untouched.
"""
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

# Runs inside the namespace: lays the fake table and nodes over the real ones, then runs
# the program.
_CHILD = r"""
import json, os, subprocess, sys
cfg = json.loads(sys.argv[1])
def mount(*args):
    r = subprocess.run(["mount", *args], capture_output=True, text=True)
    if r.returncode != 0:
        sys.stderr.write("mount " + " ".join(args) + ": " + r.stderr)
        sys.exit(77)
mount("--bind", cfg["class"], "/sys/class/tty")
mount("-t", "tmpfs", "tmpfs", cfg["dev"])
for name, target in list(cfg["nodes"].items()) + [("null", "/dev/null")]:
    open(os.path.join(cfg["dev"], name), "w").close()
    mount("--bind", target, os.path.join(cfg["dev"], name))
mount("--rbind", cfg["dev"], "/dev")
os.execvp(cfg["argv"][0], cfg["argv"])
"""


def add_tty(root: Path, name, driver=None, type_=None):
    """One tty in a fake class folder; with a driver it sits under a device bound to it
    (None: a Bluetooth port). `type_` is the text of its type attribute, if any."""
    if driver is None:
        tty = root / "devices" / "virtual" / "tty" / name
        tty.mkdir(parents=True)
    else:
        device = root / "devices" / f"dev-{name}"
        device.mkdir(parents=True)
        drivers = root / "drivers" / driver
        drivers.mkdir(parents=True, exist_ok=True)
        (device / "driver").symlink_to(drivers)
        tty = device / "tty" / name
        tty.mkdir(parents=True)
        (tty / "device").symlink_to(device)
    if type_ is not None:
        (tty / "type").write_text(type_)
    (root / "class").mkdir(exist_ok=True)
    (root / "class" / name).symlink_to(tty)


def namespaces_refusal():
    """Why a private mount namespace cannot be had here, or None."""
    if os.geteuid() != 0:
        return "needs root for a private mount namespace (unshare -m)"
    if shutil.which("unshare") is None or shutil.which("mount") is None:
        return "unshare or mount is not installed"
    probe = subprocess.run(["unshare", "-m", "--propagation", "private", "true"],
                           capture_output=True, text=True)
    if probe.returncode != 0:
        return "mount namespaces are not permitted here: " + probe.stderr.strip()
    return None


def run_with_ports(tmp_path, ports, argv, env=None, timeout=120, listed_only=()):
    """Runs argv where the machine's serial ports are `ports`: {tty name: (driver, path)},
    driver None for a Bluetooth port. `listed_only` are further ttys, as add_tty arguments
    (name, driver, type_), that the table lists but that have no device node. Skips where
    mount namespaces are not available."""
    refusal = namespaces_refusal()
    if refusal:
        pytest.skip(refusal)
    root = tmp_path / "sys"
    for name, (driver, _) in ports.items():
        add_tty(root, name, driver)
    for args in listed_only:
        add_tty(root, *args)
    (tmp_path / "dev").mkdir()
    cfg = {"class": str(root / "class"), "dev": str(tmp_path / "dev"),
           "nodes": {name: path for name, (_, path) in ports.items()}, "argv": list(argv)}
    result = subprocess.run(
        ["unshare", "-m", "--propagation", "private", sys.executable, "-c", _CHILD,
         json.dumps(cfg)], capture_output=True, text=True, env=env, timeout=timeout)
    if "unshare failed" in result.stderr:
        pytest.skip("mount namespaces are not permitted here: " + result.stderr.strip())
    if result.returncode == 77:
        pytest.skip("bind mounts in a mount namespace are not permitted: " + result.stderr)
    return result
