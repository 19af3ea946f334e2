"""The live view's 3D topics in a recording, in Foxglove's well-known schemas, beside the
recording's own channels: so Foxglove's 3D panel shows a file as it shows the live view."""
import math
from typing import Any, Dict

# The most poses a second a recording carries in Foxglove's schemas (every cycle stays in
# its own channel).
VIEW_HZ = 100.0


class WellKnown:
    """The arm's pose, transform and force arrow (or the handle's orientation) in Foxglove's
    well-known protobuf schemas beside the recording's own channels, at most VIEW_HZ a
    second, on the live view's topics; nothing when foxglove-sdk is not installed."""

    def __init__(self, writer: Any, arm: bool):
        self._writer = writer
        self._next = -math.inf
        self._channels: Dict[str, int] = {}
        self._m: Any = None
        self._transforms: Any = None
        self._topics: Any = None
        wanted: Dict[str, Any]
        try:
            from foxglove.messages import FrameTransforms, PoseInFrame, SceneUpdate

            from orvane.live import messages, topics
        except ImportError:
            return
        self._m, self._transforms, self._topics = messages, FrameTransforms, topics
        wanted = ({topics.TF_TOPIC: FrameTransforms, topics.POSE_TOPIC: PoseInFrame,
                   topics.FORCE_TOPIC: SceneUpdate} if arm
                  else {topics.HANDLE_TOPIC: PoseInFrame})
        for topic, message in wanted.items():
            schema = message.get_schema()
            schema_id = writer.register_schema(name=schema.name, encoding=schema.encoding,
                                               data=schema.data)
            self._channels[topic] = writer.register_channel(
                topic=topic, message_encoding=schema.encoding, schema_id=schema_id)

    def _due(self, t: float) -> bool:
        if self._m is None or not math.isfinite(t) or t < self._next:
            return False
        step = 1.0 / VIEW_HZ
        # On the cadence while it keeps up; from this one on after a gap.
        self._next = self._next + step if t - self._next < step else t + step
        return True

    def _put(self, topic: str, ns: int, message: Any) -> None:
        self._writer.add_message(channel_id=self._channels[topic], log_time=ns,
                                 publish_time=ns, data=message.encode())

    def cycle(self, log_time: Any, body: Dict[str, Any]) -> None:
        t = body["time"]
        if t is None or not self._due(t):
            return
        m, ns = self._m, log_time(t)
        position = [c if c is not None else math.nan for c in body["position"]]
        force = [c if c is not None else 0.0 for c in body["force"]]
        self._put(self._topics.TF_TOPIC, ns,
                  self._transforms(transforms=[m.tool_transform(ns, position)]))
        self._put(self._topics.POSE_TOPIC, ns, m.tool_pose(ns, position))
        self._put(self._topics.FORCE_TOPIC, ns, m.force_arrow(ns, position, force))

    def orientation(self, log_time: Any, t: float, wxyz: Any) -> None:
        if self._due(t):
            ns = log_time(t)
            self._put(self._topics.HANDLE_TOPIC, ns, self._m.tool_pose(ns, (0, 0, 0), wxyz))
