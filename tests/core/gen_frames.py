#!/usr/bin/python3
"""Prints the frame tables of frames_test.cpp and the Windows-1251 table of
text_codec_test.cpp, made by tools independent of the code under test: pymodbus
(3.0.0rc1, Debian python3-pymodbus) frames the Modbus RTU requests and answers, and
Python's own cp1251 codec decodes the code page.

Run with the system interpreter: /usr/bin/python3 tests/core/gen_frames.py
"""
import struct
from fractions import Fraction

from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.pdu import ExceptionResponse
from pymodbus.register_read_message import (ReadHoldingRegistersRequest,
                                            ReadHoldingRegistersResponse)
from pymodbus.utilities import computeCRC

FRAMER = ModbusRtuFramer(None)


def cpp_bytes(data):
    return "{" + ", ".join("0x%02X" % b for b in data) + "}"


def request(address):
    return FRAMER.buildPacket(ReadHoldingRegistersRequest(0, 6, unit=address))


def answer(address, w1, h1, w2, t2, reg5=0):
    hi, lo = struct.unpack(">HH", struct.pack(">i", w1))
    regs = [hi, lo, h1, w2, t2, reg5]
    return FRAMER.buildPacket(ReadHoldingRegistersResponse(regs, unit=address))


def f32(x):
    """Nearest single-precision value of an exact rational, as a C++ hex-float literal."""
    return float.hex(struct.unpack("<f", struct.pack("<f", float(Fraction(x))))[0]) + "f"


def expected_values(w1, h1, w2, t2):
    # Whole parts go through single precision first, then the exact sum is rounded.
    w1f = Fraction(struct.unpack("<f", struct.pack("<f", float(w1)))[0])
    return f32(w1f + Fraction(h1, 100)), f32(Fraction(w2) + Fraction(t2, 10))


def main():
    # computeCRC returns the two wire bytes packed big-endian: CrcLo first.
    print("// CRC of b'123456789' as wire bytes:", computeCRC(b"123456789").to_bytes(2, "big").hex())

    print("\n// Live requests (pymodbus ModbusRtuFramer, ReadHoldingRegistersRequest(0, 6))")
    for a in (0, 1, 2, 10, 13, 127, 253, 254, 255):
        print("    {%d, %s}," % (a, cpp_bytes(request(a))))

    print("\n// Live answers (pymodbus ModbusRtuFramer, ReadHoldingRegistersResponse)")
    cases = [
        (1, -2, 50, 7, 3),           # -1.5 and 7.3
        (1, -5, 25, 0, 0),           # -4.75 and 0
        (2, 0, 0, 0, 0),
        (3, 25, 0, 100, 5),
        (10, 2147483647, 65535, 65535, 65535),
        (26, -2147483648, 99, 1, 9),
        (253, 123456, 78, 4321, 9),
        (13, -1, 1, 20, 10),
    ]
    for a, w1, h1, w2, t2 in cases:
        v1, v2 = expected_values(w1, h1, w2, t2)
        print("    {%s, %s, %s}, // W1=%d H1=%d W2=%d T2=%d"
              % (cpp_bytes(answer(a, w1, h1, w2, t2)), v1, v2, w1, h1, w2, t2))

    print("\n// Exception answer (pymodbus ExceptionResponse(0x03, 2), unit 1)")
    print("    " + cpp_bytes(FRAMER.buildPacket(ExceptionResponse(0x03, 2, unit=1))))

    print("\n// Raw frames closed with pymodbus computeCRC")
    raw = {
        "function 0x83, 17 bytes": bytes([0x05, 0x83, 0x0C, 0, 0, 0, 12, 0, 34, 0, 56, 0, 7, 0, 0]),
        "13 bytes of data only (no register 5)": bytes([0x05, 0x03, 0x0C, 0, 0, 0, 12, 0, 34, 0, 56, 0, 7]),
        "12 bytes, one short": bytes([0x05, 0x03, 0x0C, 0, 0, 0, 12, 0, 34, 0, 56, 0]),
        "empty message": b"",
        "one byte": bytes([0x01]),
    }
    for name, msg in raw.items():
        print("    // %s\n    %s" % (name, cpp_bytes(msg + computeCRC(msg).to_bytes(2, "big"))))

    print("\n// Windows-1251 bytes 0x80..0xFF decoded by Python's cp1251 codec (0x98 replaced)")
    text = bytes(range(0x80, 0x100)).decode("cp1251", errors="replace")
    # Invisible characters (no-break space, soft hyphen) are written as escapes.
    print('    "' + "".join(c if c.isprintable() and c != "\u00a0" else "\\u%04X" % ord(c) for c in text) + '"')


if __name__ == "__main__":
    main()
