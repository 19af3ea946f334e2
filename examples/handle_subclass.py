"""A handle subclass: the handle's messages arrive in overridden callback methods.

Receive() reads one message and calls the method that matches it. Requests do not wait
for an answer, so each one is followed by a Receive().

    python3 handle_subclass.py              # against a simulated handle (orvane-sim on PATH)
    python3 handle_subclass.py /dev/ttyUSB0
"""
import math
import subprocess
import sys
import time

import OrvaneHardwareAPI as api


class MyHandle(api.Handle):
    def __init__(self, stream):
        super().__init__(stream)  # required when overriding __init__
        self.device_id = None

    def OnReceiveHandleInfo(self, tool_data_remaining, device_id, device_model_number,
                            hardware_version, firmware_version):
        self.device_id = device_id
        print(f"handle {device_id}: model {device_model_number}, "
              f"hardware {hardware_version}, firmware {firmware_version}")

    def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag,
                                     hall_effect_sensor_level, user_data_length, user_data):
        w = max(-1.0, min(1.0, quaternion[0]))
        print(f"turned {math.degrees(2 * math.acos(w)):6.1f} deg  "
              f"hall {hall_effect_sensor_level:3d}  user data {user_data}")

    def OnReceiveHandleErrorResponse(self, device_id, error_code):
        print(f"handle {device_id} reports error {error_code}")


simulator = None
if len(sys.argv) > 1:
    port = sys.argv[1]
else:
    simulator = subprocess.Popen(["orvane-sim", "handle"], stdout=subprocess.PIPE, text=True)
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
