"""Who can reach the bridge, and so command the arm: programs on this machine, and beyond it
only peers that show a certificate signed by the authority the bridge trusts (mutual TLS).

A zenoh configuration is checked before the bridge opens anything: every listen and connect
endpoint must be on the loopback address (or a local socket), or TLS with mutual TLS set up,
and scouting must be off (it would connect to whatever answers on the network). Anything
else is refused unless the caller says `insecure`.
"""
import ipaddress
import json
from typing import Any, List, Optional, Sequence

import zenoh

#: TLS endpoints are the only ones that can prove who is at the other end.
_TLS_PROTOCOLS = ("tls",)
#: Endpoints that never leave this machine whatever their address.
_LOCAL_PROTOCOLS = ("unixsock-stream", "unixpipe")


def loopback_config(listen: Sequence[str] = (), connect: Sequence[str] = ()) -> "zenoh.Config":
    """A peer that talks only to the endpoints given: no multicast or gossip scouting."""
    config = zenoh.Config()
    config.insert_json5("mode", json.dumps("peer"))
    config.insert_json5("listen/endpoints", json.dumps(list(listen)))
    config.insert_json5("connect/endpoints", json.dumps(list(connect)))
    config.insert_json5("scouting/multicast/enabled", "false")
    config.insert_json5("scouting/gossip/enabled", "false")
    return config


def add_mutual_tls(config: "zenoh.Config", cert: str, key: str, ca: str) -> "zenoh.Config":
    """Mutual TLS on `config`'s tls/ endpoints: this side shows `cert` (with `key`) whether it
    listens or connects, and takes only a peer whose certificate `ca` signed."""
    for name, value in (("root_ca_certificate", ca), ("listen_certificate", cert),
                        ("listen_private_key", key), ("connect_certificate", cert),
                        ("connect_private_key", key), ("enable_mtls", True),
                        ("verify_name_on_connect", True)):
        config.insert_json5(f"transport/link/tls/{name}", json.dumps(value))
    return config


def _get(config: "zenoh.Config", key: str) -> Any:
    return json.loads(config.get_json(key))


def _endpoints(config: "zenoh.Config", kind: str) -> List[str]:
    """The listen or connect endpoints zenoh will use: a list, or a list per mode."""
    value = _get(config, f"{kind}/endpoints")
    if isinstance(value, dict):
        value = value.get(_get(config, "mode") or "peer")
    return list(value or [])


def _host(address: str) -> str:
    if address.startswith("["):  # [v6]:port
        return address[1:address.find("]")]
    return address.rsplit(":", 1)[0] if ":" in address else address


def _on_this_machine(endpoint: str) -> bool:
    protocol, _, rest = endpoint.partition("/")
    if protocol in _LOCAL_PROTOCOLS:
        return True
    host = _host(rest.split("?", 1)[0].split("#", 1)[0])
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False  # a host name: it may resolve to anything


def _mutual_tls(config: "zenoh.Config") -> bool:
    tls = _get(config, "transport/link/tls") or {}
    return tls.get("enable_mtls") is True and all(
        tls.get(k) for k in ("root_ca_certificate", "listen_certificate", "listen_private_key"))


def exposures(config: "zenoh.Config") -> List[str]:
    """What in `config` would let a peer beyond this machine in without mutual TLS; empty
    when nothing does."""
    found = []
    mtls = _mutual_tls(config)
    for kind in ("listen", "connect"):
        for endpoint in _endpoints(config, kind):
            protocol = endpoint.partition("/")[0]
            if protocol in _TLS_PROTOCOLS and mtls:
                continue
            if not _on_this_machine(endpoint):
                found.append(f"{kind} {endpoint}")
    # Unset means zenoh's default, which is on.
    for scouting in ("multicast", "gossip"):
        if _get(config, f"scouting/{scouting}/enabled") is not False:
            found.append(f"{scouting} scouting (set scouting/{scouting}/enabled to false)")
    return found


def check_access(config: "zenoh.Config", insecure: bool = False,
                 require_tls: bool = False) -> Optional[str]:
    """Raises ValueError when `config` opens the arm to peers beyond this machine without
    mutual TLS, unless `insecure`; with `require_tls`, also for any endpoint that is not
    tls/ (a plain loopback endpoint would let a local program without a certificate in).
    Returns a warning for the insecure case, else None."""
    found = exposures(config)
    if require_tls:
        if not _mutual_tls(config):
            found.append("mutual TLS is not complete (certificate, key and authority)")
        for kind in ("listen", "connect"):
            found += [f"{kind} {e} (not tls/)"
                      for e in _endpoints(config, kind)
                      if e.partition("/")[0] not in _TLS_PROTOCOLS]
    if not found:
        return None
    text = ("the zenoh configuration lets peers command the arm without mutual TLS: " +
            "; ".join(found))
    if not insecure:
        raise ValueError(text + " (refused; --insecure or insecure=True allows it)")
    return text
