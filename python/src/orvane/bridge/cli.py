"""orvane-bridge: the arm (and a handle) on zenoh from the command line.

    orvane-bridge --arm PORT [--handle PORT] [--prefix orvane/arm1] [--rate HZ]
                  [--zenoh-config FILE] [--tls-cert F --tls-key F --tls-ca F] [--insecure]
                  [--delay-ms X] [--jitter-ms Y] [--loss P] [--passivity]
                  [--foxglove [HOST:]PORT]
"""
import argparse
import json
import math
import os
import signal
import sys
import threading
import time
from typing import Any, Optional, Sequence, Tuple

import zenoh

from orvane import __version__
from orvane.bridge.access import add_mutual_tls, check_access, loopback_config
from orvane.bridge.node import DEFAULT_ENDPOINT, Bridge
from orvane.haptics import LoopFault


def parse_args(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        prog="orvane-bridge", description="Publishes the arm's state over zenoh and takes "
        "force commands and coupling targets from it.")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    p.add_argument("--arm", required=True, help="the arm's port")
    p.add_argument("--handle", help="a handle's port: its orientation joins measured_cp")
    p.add_argument("--handle-hz", type=float, default=100.0,
                   help="status requests a second to the handle (100; 0: a wireless one)")
    p.add_argument("--prefix", default="orvane/arm1", help="key prefix (orvane/arm1)")
    p.add_argument("--rate", type=float, default=500.0,
                   help="publishing rate, Hz (500; never faster than the loop)")
    p.add_argument("--loop-rate", type=float, default=1000.0, help="servo loop rate, Hz (1000)")
    p.add_argument("--max-force", type=float, default=5.0, help="force limit, N (5)")
    p.add_argument("--watchdog", type=positive_seconds, default=0.1,
                   help="seconds without a force command before it ramps out (0.1; above 0)")
    p.add_argument("--no-watchdog", action="store_true",
                   help="DANGEROUS: no watchdog; a force commanded once stays on when the "
                   "network or the peer goes away")
    p.add_argument("--passivity", action="store_true",
                   help="passivity damping on the servo_cp coupling: it never gives the arm "
                   "more energy than the arm gave it (for a delayed network)")
    p.add_argument("--zenoh-config", metavar="FILE",
                   help="zenoh configuration (JSON5); default: a peer on "
                   f"{DEFAULT_ENDPOINT}, loopback only, no scouting")
    p.add_argument("--tls-cert", metavar="FILE", help="this bridge's certificate (PEM): "
                   "with --tls-key and --tls-ca, only peers with a certificate the authority "
                   "signed can connect (mutual TLS; endpoints must be tls/...)")
    p.add_argument("--tls-key", metavar="FILE", help="the certificate's private key (PEM)")
    p.add_argument("--tls-ca", metavar="FILE",
                   help="the authority (PEM) whose certificates peers must show")
    p.add_argument("--insecure", action="store_true",
                   help="allow a configuration that lets peers beyond this machine command "
                   "the arm without mutual TLS")
    p.add_argument("--listen", action="append", metavar="ENDPOINT",
                   help="zenoh listen endpoint, e.g. tcp/127.0.0.1:7447 (repeatable)")
    p.add_argument("--connect", action="append", metavar="ENDPOINT",
                   help="zenoh endpoint to connect to (repeatable)")
    p.add_argument("--delay-ms", type=float, default=0.0, help="injected delay each way")
    p.add_argument("--jitter-ms", type=float, default=0.0,
                   help="injected extra delay, uniform in 0..X ms")
    p.add_argument("--loss", type=float, default=0.0, help="injected loss probability (0..1)")
    p.add_argument("--seed", type=int, default=0, help="seed of the injected faults")
    p.add_argument("--foxglove", metavar="[HOST:]PORT", type=live_address,
                   help="also serve the loop to Foxglove on ws://HOST:PORT (HOST 127.0.0.1 "
                   "unless named; needs orvane[live])")
    p.add_argument("--seconds", type=float, help="run this long, then exit (default: "
                   "until SIGINT or SIGTERM)")
    args = p.parse_args(argv)
    tls = (args.tls_cert, args.tls_key, args.tls_ca)
    if any(tls) and not all(tls):
        p.error("--tls-cert, --tls-key and --tls-ca go together")
    return args


def live_address(text: str) -> Tuple[str, int]:
    from orvane.live.view import parse_address

    try:
        return parse_address(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def positive_seconds(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(
            f"must be a number of seconds above 0, not {text!r} (--no-watchdog turns it off)")
    return value


def config_from_args(args: argparse.Namespace) -> "zenoh.Config":
    """The zenoh configuration the options ask for, checked: refused (ValueError) when it
    would let peers beyond this machine in without mutual TLS and --insecure is not given,
    or, with --tls-*, when any endpoint is not TLS."""
    tls = args.tls_cert is not None
    if args.zenoh_config:
        if not os.path.isfile(args.zenoh_config):
            raise ValueError(f"no zenoh configuration at {args.zenoh_config!r}")
        config = zenoh.Config.from_file(args.zenoh_config)
        if args.listen:
            config.insert_json5("listen/endpoints", json.dumps(args.listen))
        if args.connect:
            config.insert_json5("connect/endpoints", json.dumps(args.connect))
    elif args.listen or args.connect:
        config = loopback_config(args.listen or (), args.connect or ())
    else:
        default = DEFAULT_ENDPOINT.replace("tcp/", "tls/") if tls else DEFAULT_ENDPOINT
        config = loopback_config(listen=[default])
    if tls:
        for path in (args.tls_cert, args.tls_key, args.tls_ca):
            if not os.path.isfile(path):
                raise ValueError(f"no such file: {path!r}")
        add_mutual_tls(config, args.tls_cert, args.tls_key, args.tls_ca)
    check_access(config, args.insecure, require_tls=tls)
    return config


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parse_args(argv)
    done = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: done.set())
    if args.no_watchdog:
        print("orvane-bridge: WARNING: no watchdog: a force commanded once stays on when "
              "the network or the peer goes away", file=sys.stderr, flush=True)
    try:
        config = config_from_args(args)
        bridge = Bridge(args.arm, args.handle, prefix=args.prefix, rate_hz=args.rate,
                        zenoh_config=config, delay_ms=args.delay_ms,
                        jitter_ms=args.jitter_ms, loss=args.loss, seed=args.seed,
                        passivity=args.passivity, insecure=args.insecure,
                        loop_options={"rate_hz": args.loop_rate, "max_force": args.max_force,
                                      "watchdog_s": None if args.no_watchdog
                                      else args.watchdog},
                        handle_options={"request_hz": args.handle_hz})
        bridge.start()
    except (ValueError, LoopFault, zenoh.ZError) as e:
        print(f"orvane-bridge: {e}", file=sys.stderr)
        return 2
    view: Any = None
    if args.foxglove is not None:
        try:
            from orvane.live import LiveView, is_loopback

            view = LiveView(bridge.loop, bridge.listener, *args.foxglove).start()
        except Exception as e:  # foxglove-sdk missing, a port in use
            bridge.stop()
            print(f"orvane-bridge: no live view on {args.foxglove[0]}:{args.foxglove[1]}: {e}",
                  file=sys.stderr)
            return 2
        print(f"orvane-bridge: live view on {view.url}" +
              ("" if is_loopback(view.host) else
               f"; WARNING: served beyond this machine on {view.host}"), flush=True)
    if bridge.access_warning:
        print(f"orvane-bridge: WARNING: {bridge.access_warning}", file=sys.stderr, flush=True)
    print(f"orvane-bridge: {args.prefix} at {bridge.rate_hz:g} Hz", flush=True)
    end = math.inf if args.seconds is None else time.monotonic() + args.seconds
    try:
        # An arm that went away ends the bridge: a supervisor sees it exit and why.
        while bridge.loop.running and not done.wait(min(0.1, max(0.0, end - time.monotonic()))):
            if time.monotonic() >= end:
                break
    finally:
        if view is not None:
            view.stop()
        bridge.stop()
    print(json.dumps(bridge.stats()), flush=True)
    if bridge.loop.fault:
        print(f"orvane-bridge: the loop failed: {bridge.loop.fault}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
