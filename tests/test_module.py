import OrvaneHardwareAPI as api


def test_version_attributes():
    assert api.__version__ == "dev"
    assert api.get_cpp_version() == "0.1.1"
