"""Handle subclasses shared by the tests."""
import OrvaneHardwareAPI as api


class RecordingHandle(api.Handle):
    """Defines all three callbacks and notes every call with its arguments in `calls`, as
    ("info" | "status" | "error", args)."""

    def __init__(self, stream):
        super().__init__(stream)
        self.calls = []

    def OnReceiveHandleInfo(self, *args):
        self.calls.append(("info", args))

    def OnReceiveHandleStatusMessage(self, *args):
        self.calls.append(("status", args))

    def OnReceiveHandleErrorResponse(self, *args):
        self.calls.append(("error", args))
