"""The topics the live view serves and recordings carry beside their own, so one Foxglove
layout opens both. Poses, transforms and arrows use Foxglove's schemas (quaternions x, y,
z, w); the numbers are the loop's own JSON."""
TF_TOPIC = "/tf"  # foxglove.FrameTransforms: base -> end_effector (-> handle)
POSE_TOPIC = "/arm/pose"  # foxglove.PoseInFrame: the end effector in the base frame
FORCE_TOPIC = "/arm/force"  # foxglove.SceneUpdate: the force sent as an arrow
HANDLE_TOPIC = "/handle/pose"  # foxglove.PoseInFrame: the handle's orientation
FIXTURES_TOPIC = "/scene/fixtures"  # foxglove.SceneUpdate: walls, guides, boxes, spheres
BODIES_TOPIC = "/scene/bodies"  # foxglove.SceneUpdate: a MuJoCo scene's bodies
CYCLES_TOPIC = "/loop/cycles"  # orvane.LoopCycle (JSON)
STATS_TOPIC = "/loop/stats"  # orvane.LoopStats (JSON)
