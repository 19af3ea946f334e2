"""The arm live in Foxglove: `LiveView(loop)` serves a running servo loop (and a handle) over
Foxglove's WebSocket protocol with its well-known schemas; `orvane-demo --live PORT` and
`orvane-bridge --foxglove PORT` start one. Needs foxglove-sdk
(the `live` extra)."""
from orvane.live.view import LiveView, check_address, is_loopback, parse_address

__all__ = ["LiveView", "check_address", "is_loopback", "parse_address"]
