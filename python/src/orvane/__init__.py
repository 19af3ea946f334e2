"""Haptic programming on top of OrvaneHardwareAPI: native force loops and device listeners.

`orvane.haptics` holds the servo loop for the Varnix3 arm, its force effects and the
handle listener; `orvane.bridge` puts the arm on zenoh (the orvane-bridge program);
`orvane.demo` is the orvane-demo program.
"""
from orvane._version import __version__

__all__ = ["__version__"]
