import pytest

import OrvaneHardwareAPI as api
from signatures import untyped

MISSING = "/dev/orvane-no-such-port"
NAME_FORMS = [str, str.encode, lambda s: bytearray(s.encode())]
NAME_IDS = ["str", "bytes", "bytearray"]


def open_lines(name, number, text):
    return (f"[err] Library/src/SerialStream:39> unable to open port '{name}': [{number}] {text}\n"
            f"[err] Library/src/SerialStream:18> unable to open stream '{name}': "
            f"[{number}] {text}\n")


@pytest.mark.parametrize("form", NAME_FORMS, ids=NAME_IDS)
def test_stream_holds_port_until_dropped(port, form, capfd):
    stream = api.SerialStream(form(port.path))
    assert capfd.readouterr().err == ""

    second = api.SerialStream(port.path)  # the port is never shared
    assert capfd.readouterr().err == open_lines(port.path, 16, "Device or resource busy")

    del stream, second
    again = api.SerialStream(port.path)
    assert capfd.readouterr().err == ""
    del again


@pytest.mark.parametrize("form", NAME_FORMS, ids=NAME_IDS)
def test_missing_port_prints_lines_and_returns_object(form, capfd):
    stream = api.SerialStream(form(MISSING))
    assert isinstance(stream, api.SerialStream)
    assert capfd.readouterr().err == open_lines(MISSING, 2, "No such file or directory")


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    ((None,), {}),
    ((3,), {}),
    ((MISSING, MISSING), {}),
    ((), {"port": MISSING}),
    ((), {"arg0": MISSING}),
], ids=["none-given", "None", "int", "two", "keyword-port", "keyword-arg0"])
def test_stream_rejects_other_arguments(args, kwargs, capfd):
    with pytest.raises(TypeError):
        api.SerialStream(*args, **kwargs)
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("name", ["/dev/pts/0\0x", b"/dev/null\0"], ids=["str", "bytes"])
def test_stream_rejects_nul_in_name(name, capfd):
    with pytest.raises(ValueError):
        api.SerialStream(name)
    assert capfd.readouterr().err == ""


def test_uuid_is_sixteen_zero_bytes_in_fresh_lists():
    uuid = api.UUID()
    first, second = uuid.bytes(), uuid.bytes()
    assert first == [0] * 16
    assert first == second and first is not second
    first[0] = 255
    assert uuid.bytes() == [0] * 16


def test_uuid_compares_by_identity():
    uuid = api.UUID()
    assert uuid == uuid
    assert api.UUID() != api.UUID()


@pytest.mark.parametrize("call", [
    lambda: api.UUID(1),
    lambda: api.UUID(bytes=[0] * 16),
    lambda: api.UUID().bytes(1),
])
def test_uuid_takes_no_arguments(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("args", [(), (MISSING,)])
def test_device_has_no_constructor(args, capfd):
    with pytest.raises(TypeError) as raised:
        api.Device(*args)
    assert str(raised.value) == "OrvaneHardwareAPI.Device: No constructor defined!"
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("name", ["SerialStream", "UUID", "Device"])
def test_classes_are_plain(name):
    cls = getattr(api, name)
    assert cls.__module__ == "OrvaneHardwareAPI"
    assert cls.__qualname__ == name
    assert cls.__doc__ is None


@pytest.mark.parametrize("function, doc", [
    (api.SerialStream.__init__, "__init__(self: OrvaneHardwareAPI.SerialStream, arg0: str) -> None\n"),
    (api.UUID.__init__, "__init__(self: OrvaneHardwareAPI.UUID) -> None\n"),
    (api.UUID.bytes, "bytes(self: OrvaneHardwareAPI.UUID) -> list[int]\n"),
])
def test_signatures(function, doc):
    assert untyped(function.__doc__) == untyped(doc)


def test_uuid_instances_carry_no_attributes():
    with pytest.raises(AttributeError):
        api.UUID().extra = 1


@pytest.mark.parametrize("name", ["Varnix3", "Handle"])
def test_devices_are_not_python_subclasses_of_device(name):
    if not hasattr(api, name):
        pytest.skip(f"{name} is not registered in this build")
    assert not issubclass(getattr(api, name), api.Device)
