"""The arm (and a handle) on the network: a servo loop that publishes its measured state over
zenoh and takes force commands and coupling targets from it.

The loop itself stays on this machine; only setpoints travel. A leader that loses the
network ramps out under the loop's watchdog. The message layouts are in
`orvane.bridge.wire` and README ("Bridge"); `orvane-bridge` (`orvane.bridge.cli`) runs it
from the command line.
"""
try:
    import zenoh  # noqa: F401
except ImportError:  # pragma: no cover - depends on the environment
    # The cause stays chained as the context.
    from orvane._extras import install_hint

    raise ImportError("orvane.bridge needs zenoh: " + install_hint("bridge"))

from orvane.bridge import wire
from orvane.bridge.access import add_mutual_tls, check_access, loopback_config
from orvane.bridge.cli import main
from orvane.bridge.inbox import Inbox
from orvane.bridge.node import DEFAULT_ENDPOINT, STATE_INTERVAL_S, Bridge

__all__ = ["Bridge", "Inbox", "DEFAULT_ENDPOINT", "STATE_INTERVAL_S", "add_mutual_tls",
           "check_access", "loopback_config", "main", "wire"]
