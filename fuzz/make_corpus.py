#!/usr/bin/env python3
"""Writes the seed corpora: valid messages, and a few near misses, for every fuzz target.

    python3 fuzz/make_corpus.py            # rewrites fuzz/corpus/<target>/

Device inputs start with two control bytes (schedule, write-failure point); see
fuzz/FuzzStream.h. Port-table inputs follow the layout at the top of fuzz/port_listing.cpp.
Recordings are small MCAP files, their compressed chunks packed by the system's libzstd and
liblz4 (the libraries the simulator reads them with).
"""
import ctypes
import pathlib
import shutil
import struct
import zlib

HERE = pathlib.Path(__file__).resolve().parent
CORPUS = HERE / "corpus"


def f32x3(*v):
    return struct.pack("<3f", *v)


# Arm replies.
ARM_INFO = bytes([0x0B]) + struct.pack("<HBBB", 0x1234, 4, 2, 7) + bytes(range(16))
ARM_STATE = bytes([0x2B]) + f32x3(0.1, -0.2, 0.3) + f32x3(1.0, 2.0, -3.0)
ARM_JOINTS = bytes([0x1B]) + f32x3(0.5, 1.5, -0.5) + f32x3(0.0, -0.0, 1e-3)
ARM_CURRENT = bytes([0xAB]) + f32x3(0.01, 0.02, 0.03)
ARM_NAN = bytes([0x2B]) + struct.pack("<6I", 0x7FC00000, 0xFF800000, 0x7F800000, 1, 0x80000000, 0x7FBFFFFF)

# Handle messages.
H_INFO = bytes([0xD0, 5, 0x34, 0x12, 2, 3, 4])
H_ERROR = bytes([0xDF, 7, 0, 3])


def h_status(user: bytes, dev=0x0102, flag=1, level=200):
    return (bytes([0xDA]) + struct.pack("<HBB", dev, flag, level) + struct.pack("<4f", 1, 0, 0, 0)
            + bytes([len(user)]) + user)


def arm_seeds():
    # schedule picks the reply read of each round: 2 bits per round, 0 info, 1 state,
    # 2 joint state, 3 current.
    yield "info", bytes([0x00, 0]) + ARM_INFO
    yield "state", bytes([0x55, 0]) + ARM_STATE * 2
    yield "joints", bytes([0xAA, 0]) + ARM_JOINTS * 2
    yield "current", bytes([0xFF, 0]) + ARM_CURRENT * 3
    yield "mixed", bytes([0b11100100, 0]) + ARM_INFO + ARM_STATE + ARM_JOINTS + ARM_CURRENT
    yield "nan", bytes([0x55, 0]) + ARM_NAN
    yield "short", bytes([0x55, 0]) + ARM_STATE[:10]
    yield "wrong_header", bytes([0x55, 0]) + ARM_JOINTS + ARM_STATE
    yield "long_noise", bytes([0x00, 0]) + bytes([0x2B]) + bytes(range(256)) * 5 + ARM_INFO
    yield "write_fails", bytes([0x55, 3]) + ARM_STATE * 4


def handle_seeds():
    yield "info", bytes([0x00, 0]) + H_INFO
    yield "error", bytes([0x00, 0]) + H_ERROR
    yield "status_empty", bytes([0x00, 0]) + h_status(b"")
    yield "status_data", bytes([0x00, 0]) + h_status(b"hello\x00world")
    yield "status_full", bytes([0x00, 0]) + h_status(bytes(range(255)))
    yield "sequence", bytes([0b11100100, 0]) + H_INFO + h_status(b"\x01\x02") + H_ERROR + H_INFO
    yield "arm_reply", bytes([0x00, 0]) + ARM_INFO + H_INFO
    yield "short_user", bytes([0x00, 0]) + h_status(bytes(40))[:-10]
    yield "sends", bytes([0xFF, 0]) + bytes([40]) + bytes(range(40)) + H_ERROR
    yield "write_fails", bytes([0x55, 2]) + H_INFO * 3


def codec_seeds():
    # No control bytes: the codecs see the line's bytes as they are.
    state = bytes([0xDB]) + struct.pack("<HB", 0x1234, 3) + b"abc"
    yield "handle_messages", H_INFO + h_status(bytes(range(255))) + H_ERROR + b"\x55" + H_INFO
    yield "handle_requests", b"\x0a\xda" + state + bytes([0xDB, 1, 0, 0]) + b"\xd0\xda"
    yield "arm_requests", (b"\x0a\xab" + bytes([0x2A]) + f32x3(1.5, -2, 0.25) + bytes([0x2C])
                           + ARM_NAN[1:13] + bytes([0x1A]) + f32x3(0, -0.0, 1e-38)
                           + bytes([0x1C]) + ARM_NAN[13:])
    yield "arm_replies", ARM_INFO[1:] + ARM_NAN[1:]


def entry(mode, name: bytes, data: bytes):
    return bytes([mode]) + struct.pack("<H", len(name)) + name + struct.pack("<H", len(data)) + data


def listing_seeds():
    usual = (entry(0, b"\\Device\\USBSER000", b"/dev/ttyACM0")
             + entry(0, b"\\Device\\Serial0", b"/dev/ttyS0")
             + entry(0, b"\\Device\\BthModem2", b"/dev/rfcomm0\x00")
             + entry(0, b"\\Device\\Silabser0", b"/dev/ttyUSB0")
             + entry(0, b"\\Device\\ftdi_sio0", b"/dev/ttyUSB1"))
    yield "usual", b"\x00" + usual
    yield "no_table", b"\x02"
    yield "empty", b"\x00"
    yield "lower_case", b"\x00" + entry(0, b"\\Device\\usbser000", b"COM3")
    yield "long_name", b"\x00" + usual + entry(0, b"\\Device\\Serial" + b"x" * 300, b"COM1")
    yield "long_data", b"\x00" + entry(0, b"\\Device\\Serial1", b"d" * 261)
    yield "edge_fit", b"\x00" + entry(0, b"\\Serial" + b"n" * 252, b"p" * 260)
    yield "enum_error", b"\x00" + usual + entry(6 | (5 << 3), b"", b"")
    yield "more_data", b"\x00" + entry(5, b"", b"") + usual
    yield "broken_source", b"\x00" + entry(7, b"\\Device\\USBSER001", b"/dev/ttyACM1")
    yield "nul_inside", b"\x00" + entry(0, b"\\Dev\x00\\USBSER0", b"/dev/tty\x00ACM0\x00")


def _codec(library, function):
    """A compressor from the system library the simulator links, as bytes -> bytes."""
    lib = ctypes.CDLL(library)
    bound = getattr(lib, "ZSTD_compressBound" if "zstd" in library else "LZ4F_compressFrameBound")
    compress = getattr(lib, function)
    bound.restype = compress.restype = ctypes.c_size_t

    def run(data):
        size = bound(ctypes.c_size_t(len(data)), None) if "lz4" in library else \
            bound(ctypes.c_size_t(len(data)))
        out = ctypes.create_string_buffer(size)
        extra = (None,) if "lz4" in library else (ctypes.c_int(3),)
        n = compress(out, ctypes.c_size_t(size), data, ctypes.c_size_t(len(data)), *extra)
        return out.raw[:n]
    return run


def mcap_record(op, body):
    return bytes([op]) + struct.pack("<Q", len(body)) + body


def mcap_string(s: bytes):
    return struct.pack("<I", len(s)) + s


def mcap_chunk(records, compression=b"", packed=None):
    body = struct.pack("<QQQI", 0, 0, len(records), zlib.crc32(records))
    data = records if packed is None else packed
    return mcap_record(0x06, body + mcap_string(compression) + struct.pack("<Q", len(data)) + data)


def mcap_seeds():
    magic = b"\x89MCAP0\r\n"
    channel = mcap_record(0x04, struct.pack("<HH", 1, 1) + mcap_string(b"/orvane/arm/cycles")
                          + mcap_string(b"json") + struct.pack("<I", 0))
    cycle = b'{"time":0.5,"sequence":1,"position":[0.1,0,0],"velocity":[0,0,0]}'
    message = mcap_record(0x05, struct.pack("<HIQQ", 1, 1, 10, 10) + cycle)
    pairs = mcap_string(b"device_id") + mcap_string(b"7")
    metadata = mcap_record(0x0C, mcap_string(b"device_info") + struct.pack("<I", len(pairs))
                           + pairs)
    records = channel + message + message
    body = magic + metadata + mcap_chunk(records)
    data_end = mcap_record(0x0F, struct.pack("<I", zlib.crc32(body)))
    footer = mcap_record(0x02, struct.pack("<QQI", 0, 0, 0))
    yield "plain", body + data_end + footer + magic
    yield "killed", body + mcap_chunk(records)[:30]
    for name, library, function in (("zstd", "libzstd.so.1", "ZSTD_compress"),
                                    ("lz4", "liblz4.so.1", "LZ4F_compressFrame")):
        packed = _codec(library, function)(records)
        yield name, magic + mcap_chunk(records, name.encode(), packed) + footer + magic


def message_seeds():
    yield "arm", (b'{"time":0.5,"sequence":1,"position":[0.1,0,-1e-3],"velocity":[0,0,0],'
                  b'"clamped":false,"exchange_us":null}')
    yield "handle", (b'{"time":1,"sequence":2,"device_id":7,"quaternion":[1,0,0,0],'
                     b'"hall_effect":10,"error_flag":0,"user_data":[1,2]}')


def main():
    for target, seeds in (("varnix3_receive", arm_seeds), ("handle_receive", handle_seeds),
                          ("port_listing", listing_seeds), ("mcap_reader", mcap_seeds),
                          ("codec_frames", codec_seeds), ("record_message", message_seeds)):
        folder = CORPUS / target
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for name, data in seeds():
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
