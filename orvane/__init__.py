"""Haptic programming on top of OrvaneHardwareAPI: native force loops and device listeners.

`orvane.haptics` holds the servo loop for the Varnix3 arm, its force effects and the
handle listener.
"""
# A source checkout on sys.path (python -m pytest from the repository) would otherwise hide
# the built package and its extension; every orvane folder on the path serves the package.
from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)
