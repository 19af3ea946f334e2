"""A Foxglove WebSocket viewer for tests: reads what a server advertises, subscribes, and
decodes protobuf messages with the schemas the server (or a file) gives."""
import base64
import json
import struct
import time

from google.protobuf import descriptor_pb2, descriptor_pool, message_factory
from websockets.sync.client import connect

SUBPROTOCOL = "foxglove.sdk.v1"


def decoder(schema_name, descriptor_set):
    """Parses messages of `schema_name` from the FileDescriptorSet bytes of its schema."""
    pool = descriptor_pool.DescriptorPool()
    for f in descriptor_pb2.FileDescriptorSet.FromString(descriptor_set).file:
        pool.Add(f)
    return message_factory.GetMessageClass(pool.FindMessageTypeByName(schema_name)).FromString


class Viewer:
    def __init__(self, url, timeout=5.0):
        self._connection = connect(url, subprotocols=[SUBPROTOCOL], open_timeout=timeout)
        self.ws = self._connection.__enter__()
        self.channels = {}
        deadline = time.monotonic() + timeout
        while not self.channels:
            msg = json.loads(self.ws.recv(timeout=max(0.01, deadline - time.monotonic())))
            if msg["op"] == "advertise":
                self.channels = {c["topic"]: c for c in msg["channels"]}

    def subscribe(self, *topics):
        subs = [{"id": i, "channelId": self.channels[t]["id"]} for i, t in enumerate(topics)]
        self.ws.send(json.dumps({"op": "subscribe", "subscriptions": subs}))
        decode = {}
        for i, t in enumerate(topics):
            c = self.channels[t]
            decode[i] = (t, json.loads if c["encoding"] == "json" else
                         decoder(c["schemaName"], base64.b64decode(c["schema"])))
        self._decode = decode

    def collect(self, seconds):
        """(topic, log time ns, decoded message) received for `seconds`."""
        got, end = [], time.monotonic() + seconds
        while (left := end - time.monotonic()) > 0:
            try:
                data = self.ws.recv(timeout=left)
            except TimeoutError:
                break
            if isinstance(data, bytes) and data[0] == 1:  # a message data frame
                sub, ns = struct.unpack_from("<IQ", data, 1)
                topic, parse = self._decode[sub]
                got.append((topic, ns, parse(data[13:])))
        return got

    def close(self):
        self._connection.__exit__(None, None, None)
