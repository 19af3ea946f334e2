"""Detection: which serial ports have an arm or a handle on them right now.

Each detect function probes the ports of its kind one after another (about a second for a
silent port) and returns the names of those that answered. A port found this way can be
opened at once.

    python3 detection.py
"""
import OrvaneHardwareAPI as api

arms = api.detect_varnix3s()
wired = api.detect_wired_handles()
wireless = api.detect_wireless_handles()

print("arms:            ", ", ".join(arms) or "none")
print("wired handles:   ", ", ".join(wired) or "none")
print("wireless handles:", ", ".join(wireless) or "none")

for port in arms:
    stream = api.SerialStream(port)
    info = api.Varnix3(stream).device_wakeup_dict()
    print(f"{port}: arm {info['device_id']}, identifier {info['device_id_ext']}")
    del stream  # closes the port
