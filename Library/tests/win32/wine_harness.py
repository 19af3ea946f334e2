#!/usr/bin/env python3
"""Runs the Windows test programs of one build under wine, against scripted devices.

Each scenario writes the registry values its test suites expect under
HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM (with `wine reg add`), maps COM ports to
pseudo-terminals through $WINEPREFIX/dosdevices/comN links, plays a scripted device on
the master side of each, runs the suites' tests, and then checks the bytes each device
received. The machine's own serial ports are never mapped: every comN link the prefix
had is removed first.

The caller boots the prefix and keeps one wineserver running (`wineserver -p`) for the
whole run: wine keeps the SERIALCOMM key only in memory, and it vanishes with its
server; a persistent server also keeps wine's mount manager from mapping the machine's
ports again while the tests run.

Usage: wine_harness.py BUILD_DIR   (with WINEPREFIX set)
Prints one line per test and device check, then "wine: N passed, N failed, N skipped";
exits 1 when anything failed or did not run.
"""

import os
import re
import select
import struct
import subprocess
import sys
import tempfile
import threading
import tty
import xml.etree.ElementTree as ET
from pathlib import Path

KEY = r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM"
WINE_TIMEOUT_S = 600


# --- Devices on the Linux side -------------------------------------------------------


class Device:
    """A device on the master side of a pseudo-terminal. It holds the slave end open
    itself, so a close by the program under test never looks like a hang-up."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.received = bytearray()
        self._pending = bytearray()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def start(self):
        self._thread.start()

    def stop(self):
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join()
        os.close(self.master)
        os.close(self.slave)

    def _run(self):
        while not self._stop.is_set():
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if not ready:
                continue
            try:
                data = os.read(self.master, 4096)
            except OSError:
                continue
            self.received += data
            self._pending += data
            self.react(self._pending)

    def send(self, data):
        os.write(self.master, data)

    def react(self, pending):
        pending.clear()

    def problems(self):
        """What went wrong on the device side; empty when all is well."""
        return []


class Silent(Device):
    """Never answers; nothing should ever reach it."""

    def problems(self):
        if self.received:
            return [f"received {self.received.hex(' ')}, expected nothing"]
        return []


class Stalled(Device):
    """Never reads, so the line fills up and stops taking bytes."""

    def start(self):
        pass


class Scripted(Device):
    """Answers each expected request, byte for byte, with its reply, in order."""

    def __init__(self, steps):
        super().__init__()
        self.steps = steps
        self.done = 0

    def react(self, pending):
        while self.done < len(self.steps):
            request, reply = self.steps[self.done]
            if len(pending) < len(request) or pending[: len(request)] != request:
                return
            del pending[: len(request)]
            self.send(reply)
            self.done += 1

    def problems(self):
        expected = b"".join(request for request, _ in self.steps)
        if bytes(self.received) != expected:
            return [f"received {self.received.hex(' ')}, expected {expected.hex(' ')}"]
        return []


class Responder(Device):
    """Answers every wake-up byte with the same reply; counts the wake-ups."""

    def __init__(self, reply, wakeups):
        super().__init__()
        self.reply = reply
        self.wakeups = wakeups

    def react(self, pending):
        for byte in bytes(pending):
            if byte == 0x0A:
                self.send(self.reply)
        pending.clear()

    def problems(self):
        expected = b"\x0a" * self.wakeups
        if bytes(self.received) != expected:
            return [f"received {self.received.hex(' ')}, expected {self.wakeups} wake-up(s)"]
        return []


# --- Messages the scripted devices send --------------------------------------------

ARM_UUID = bytes([0x00, 0xFF, 0x7F, 0x80, 0x0D, 0x0A, 0x11, 0x13,
                  0x1A, 0x1B, 0x2A, 0x2B, 0xAB, 0xD0, 0xDA, 0xDF])


def arm_info(model):
    # device id 0x0D0A, model, hardware 0x11, firmware 0x13, then the 16-byte id
    return bytes([0x0B, 0x0A, 0x0D, model, 0x11, 0x13]) + ARM_UUID


FORCE_REQUEST = bytes.fromhex("2a 13 0a 11 3f 00 00 10 c0 0a 0d 0a 0d")
STATE_REPLY = b"\x2b" + struct.pack(
    "<6I", 0x3F800000, 0x40130A11, 0xC20D0A00, 0x00000000, 0x3DCCCCCD, 0xBF0A0D11)

HANDLE_INFO = bytes([0xD0, 0x00, 0x21, 0x43, 0x07, 0x01, 0x02])
HANDLE_STATUS = bytes([0xDA, 0x21, 0x43, 0x00, 0x80]) + struct.pack("<4f", 1, 0, 0, 0) + b"\x00"
HANDLE_ERROR = bytes([0xDF, 0x21, 0x43, 0x05])


# --- Scenarios -----------------------------------------------------------------------


class Scenario:
    def __init__(self, name, program, gtest_filter, registry=(), devices=None):
        self.name = name
        self.program = program          # "library" or "windows"
        self.gtest_filter = gtest_filter
        self.registry = registry        # list of (value name, port); None: no key at all
        self.devices = devices or (lambda: {})


# Tests of the shared suite that expect POSIX error numbers and their texts (errno,
# strerror): on Windows the error lines carry GetLastError() and the system's own texts,
# which orvane_windows_tests checks instead.
POSIX_ERROR_TESTS = {
    "Lines/FramingFailureTest.PrintsExactlyItsLine/WriteShort",
    "Lines/FramingFailureTest.PrintsExactlyItsLine/WriteErrorWithoutText",
    "Lines/FramingFailureTest.PrintsExactlyItsLine/HeaderOnBadStream",
    "Lines/FramingFailureTest.PrintsExactlyItsLine/PayloadOnBadStream",
    "Replies/ReplyReadTest.ReadsOrDiscards/AfterFailedWrite",
    "Codes/SystemErrorTextTest.GivesSystemTextOrUnknown/0",
    "Codes/SystemErrorTextTest.GivesSystemTextOrUnknown/1",
    "Codes/SystemErrorTextTest.GivesSystemTextOrUnknown/2",
}
POSIX_ERROR_REASON = "expects POSIX error numbers and texts"

SCENARIOS = [
    Scenario("shared suite", "library", "*-" + ":".join(sorted(POSIX_ERROR_TESTS))),
    Scenario("error texts", "windows", "SystemErrorText*"),
    Scenario("serial port", "windows", "SerialPort.*", devices=lambda: {
        "COM5": Silent(),
        "COM7": Stalled(),
        "COM6": Scripted([(b"\x0a", arm_info(4)), (FORCE_REQUEST, STATE_REPLY)]),
    }),
    Scenario("registry example", "windows", "RegistryExample.*", registry=[
        (r"\Device\USBSER000", "COM3"),
        (r"\Device\Serial0", "COM1"),
        (r"\Device\BthModem2", "COM7"),
        (r"\Device\Silabser0", "COM5"),
        (r"\Device\VSPort0", "COM9"),
    ]),
    Scenario("oversized value name", "windows", "RegistryOversizedName.*", registry=[
        (r"\Device\USBSER000", "COM3"),
        (r"\Device\Serial" + "X" * 286, "COM4"),   # 300 characters
        (r"\Device\BthModem0", "COM7"),
    ]),
    Scenario("detection", "windows", "Detection.*", registry=[
        (r"\Device\USBSER000", "COM3"),
        (r"\Device\USBSER001", "COM4"),
        (r"\Device\Silabser0", "COM5"),
        (r"\Device\BthModem0", "COM7"),
        (r"\Device\Serial1", "COM8"),
    ], devices=lambda: {
        # wake-ups: arms from detect_varnix3s; COM5 from detect_handles and
        # detect_wired_handles, COM7 from detect_handles and detect_wireless_handles,
        # COM8 from detect_handles and detect_wired_handles
        "COM3": Responder(arm_info(4), wakeups=1),
        "COM4": Responder(arm_info(3), wakeups=1),
        "COM5": Responder(HANDLE_INFO, wakeups=2),
        "COM7": Responder(HANDLE_STATUS, wakeups=2),
        "COM8": Responder(HANDLE_ERROR, wakeups=2),
    }),
    Scenario("no registry key", "windows", "RegistryAbsent.*", registry=None),
]


# --- Wine --------------------------------------------------------------------------


def wine(*args, check=True):
    result = subprocess.run(["wine", *args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, errors="replace", timeout=WINE_TIMEOUT_S)
    if check and result.returncode != 0:
        raise RuntimeError(f"wine {' '.join(args)} failed ({result.returncode}): "
                           f"{result.stdout.strip()}")
    return result


def windows_path(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def registry_values():
    """The key's values as (name, data) pairs, or None when there is no key."""
    result = wine("reg", "query", KEY, check=False)
    if result.returncode != 0:
        return None
    values = []
    for line in result.stdout.splitlines():
        match = re.match(r"^    (.+?)    REG_SZ    (.*)$", line)
        if match:
            values.append((match.group(1), match.group(2)))
    return values


def set_registry(values, key_tool):
    if values is None:
        wine("reg", "delete", KEY, "/f", check=False)
        if registry_values() is not None:
            raise RuntimeError("the SERIALCOMM key could not be removed")
        return
    out = wine(key_tool, "create").stdout
    if "status 0" not in out:
        raise RuntimeError(f"the SERIALCOMM key could not be made: {out.strip()}")
    wine("reg", "delete", KEY, "/va", "/f")
    for name, port in values:
        wine("reg", "add", KEY, "/v", name, "/t", "REG_SZ", "/d", port, "/f")
    present = registry_values()
    if sorted(present or []) != sorted(values):
        raise RuntimeError(f"SERIALCOMM holds {present}, expected {values}")


def clear_com_links(dosdevices):
    for entry in dosdevices.iterdir():
        if re.fullmatch(r"com\d+", entry.name, re.IGNORECASE):
            entry.unlink()


def list_tests(program):
    """The full names of the tests in a GoogleTest program."""
    out = wine(program, "--gtest_list_tests").stdout
    names, suite = [], None
    for line in out.splitlines():
        if not line.strip() or line.startswith("Running main()"):
            continue
        if not line.startswith(" "):
            suite = line.split("#")[0].strip()
        else:
            names.append(suite + line.split("#")[0].strip())
    return names


def run_program(program, gtest_filter, workdir):
    """Runs the tests; returns [(name, outcome, message)] from the program's XML report."""
    report = Path(workdir) / "report.xml"
    if report.exists():
        report.unlink()
    process = subprocess.Popen(
        ["wine", program, f"--gtest_filter={gtest_filter}",
         f"--gtest_output=xml:{windows_path(report)}"],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
    for line in process.stdout:
        print("    " + line.rstrip(), flush=True)
    code = process.wait(timeout=WINE_TIMEOUT_S)
    if not report.exists():
        return [(f"{Path(program).name} {gtest_filter}", "failed",
                 f"the program left no report (exit code {code}): it did not run")]
    results = []
    for case in ET.parse(report).getroot().iter("testcase"):
        name = f"{case.get('classname')}.{case.get('name')}"
        failures = case.findall("failure")
        skipped = case.find("skipped")
        if failures:
            results.append((name, "failed", failures[0].get("message", "").splitlines()[0]))
        elif case.get("result") == "skipped" or skipped is not None:
            reason = skipped.get("message", "") if skipped is not None else ""
            lines = [line for line in reason.splitlines() if line.strip()]
            results.append((name, "skipped", lines[-1].strip() if lines else ""))
        else:
            results.append((name, "passed", ""))
    if code != 0 and all(outcome != "failed" for _, outcome, _ in results):
        results.append((f"{Path(program).name} exit", "failed", f"exit code {code}"))
    if not results:
        results.append((f"{Path(program).name} {gtest_filter}", "failed", "no test ran"))
    return results


def main():
    if len(sys.argv) != 2 or "WINEPREFIX" not in os.environ:
        sys.exit(__doc__)
    build = Path(sys.argv[1])
    programs = {
        "library": build / "Library/tests/orvane_library_tests.exe",
        "windows": build / "Library/tests/win32/orvane_windows_tests.exe",
    }
    key_tool = str(build / "Library/tests/win32/orvane_serialcomm_key.exe")
    dosdevices = Path(os.environ["WINEPREFIX"]) / "dosdevices"

    results = []
    expected = {name: list_tests(str(path)) for name, path in programs.items()}
    for name, tests in expected.items():
        if not tests:
            results.append((f"{programs[name].name} test list", "failed",
                            "the program listed no test: it did not run"))

    with tempfile.TemporaryDirectory(prefix="orvane-wine-") as workdir:
        ran = set()
        for scenario in SCENARIOS:
            shown = scenario.gtest_filter if len(scenario.gtest_filter) < 60 else "..."
            print(f"== {scenario.name} ({Path(programs[scenario.program]).name} {shown})",
                  flush=True)
            clear_com_links(dosdevices)
            devices = scenario.devices()
            try:
                set_registry(scenario.registry, key_tool)
                for port, device in devices.items():
                    (dosdevices / port.lower()).symlink_to(device.path)
                    device.start()
                outcome = run_program(str(programs[scenario.program]), scenario.gtest_filter,
                                      workdir)
            except (RuntimeError, subprocess.TimeoutExpired) as error:
                outcome = [(scenario.name, "failed", str(error))]
            finally:
                for device in devices.values():
                    device.stop()
                clear_com_links(dosdevices)
            for port, device in devices.items():
                problems = device.problems()
                outcome.append((f"device on {port} ({scenario.name})",
                                "failed" if problems else "passed", "; ".join(problems)))
            for name, status, message in outcome:
                print(f"  {status.upper():7} {name}" + (f": {message}" if message else ""),
                      flush=True)
                ran.add(name)
            results += outcome

        for program, tests in expected.items():
            for test in tests:
                if program == "library" and test in POSIX_ERROR_TESTS:
                    results.append((test, "skipped", POSIX_ERROR_REASON))
                    print(f"  SKIPPED {test}: {POSIX_ERROR_REASON}")
                elif test not in ran:
                    results.append((test, "failed", "no scenario ran this test"))
                    print(f"  FAILED  {test}: no scenario ran this test")

    counts = {status: sum(1 for _, s, _ in results if s == status)
              for status in ("passed", "failed", "skipped")}
    print(f"wine: {counts['passed']} passed, {counts['failed']} failed, "
          f"{counts['skipped']} skipped", flush=True)
    sys.exit(1 if counts["failed"] else 0)


if __name__ == "__main__":
    main()
