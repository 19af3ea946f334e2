"""A handle subclass: the handle's messages arrive in overridden callback methods.

Receive() reads one message and calls the method that matches it. Requests do not wait
for an answer, so each one is followed by a Receive().

    python3 handle_subclass.py              # against a simulated handle (orvane-sim on PATH)
    python3 handle_subclass.py /dev/ttyUSB0
"""
from __future__ import annotations

import math
import subprocess
import sys
import time

import OrvaneHardwareAPI as api


class MyHandle(api.Handle):
    def __init__(self, stream: api.SerialStream) -> None:
        super().__init__(stream)  # required when overriding __init__
        self.device_id: int | None = None

    def OnReceiveHandleInfo(self, tool_data_remaining: int, device_id: int,
                            device_model_number: int, hardware_version: int,
                            firmware_version: int) -> None:
        self.device_id = device_id
        print(f"handle {device_id}: model {device_model_number}, "
              f"hardware {hardware_version}, firmware {firmware_version}")

    def OnReceiveHandleStatusMessage(self, device_id: int, quaternion: list[float],
                                     error_flag: int, hall_effect_sensor_level: int,
                                     user_data_length: int, user_data: list[int]) -> None:
        w = max(-1.0, min(1.0, quaternion[0]))
        print(f"turned {math.degrees(2 * math.acos(w)):6.1f} deg  "
              f"hall {hall_effect_sensor_level:3d}  user data {user_data}")

    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
        print(f"handle {device_id} reports error {error_code}")


simulator = None
if len(sys.argv) > 1:
    port = sys.argv[1]
else:
    simulator = subprocess.Popen(["orvane-sim", "handle"], stdout=subprocess.PIPE, text=True)
    assert simulator.stdout is not None
    port = simulator.stdout.readline().strip()

try:
    stream = api.SerialStream(port)  # keep the stream referenced while the handle is used
    handle = MyHandle(stream)
    handle.SendDeviceWakeup()
    handle.Receive()
    if handle.device_id is None:
        sys.exit(f"no handle answered on {port}")
    handle.SendHandleState(handle.device_id, 1, 7)  # one byte of user data: 7
    for _ in range(5):
        handle.RequestStatus()
        handle.Receive()
        time.sleep(0.1)
finally:
    if simulator is not None:
        simulator.terminate()
        simulator.wait()
