#!/usr/bin/env python3
"""Writes the starting inputs of the fuzz targets into fuzz/corpus/<target>/: small files
made by hand from the formats the targets read. Run again after changing a format."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def with_crc(msg):
    c = crc16(msg)
    return bytes(msg) + bytes([c & 0xFF, c >> 8])


def put(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def config(port, records):
    head = bytes([len(port)]) + port
    head = head + bytes(100 - len(head))
    body = b""
    for addr, desc in records:
        body += bytes([addr, len(desc)]) + desc
    return head + body.replace(b"\n", b"\r\n")


put("fuzz_config_file", "empty", b"")
put("fuzz_config_file", "header_only", config(b"/dev/ttyUSB0", []))
put("fuzz_config_file", "three_devices", config(b"/dev/ttyS0", [(1, "Котёл".encode("cp1251")), (2, b"pump"), (3, b"")]))
put("fuzz_config_file", "newline_in_description", config(b"COM1", [(7, b"a\nb\n"), (8, b"\r\n")]))
put("fuzz_config_file", "duplicate_address", config(b"x", [(5, b"first"), (5, b"second")]))
put("fuzz_config_file", "cut_record", config(b"p", [(9, b"full")])[:-2])
put("fuzz_config_file", "long_port_byte", bytes([250]) + b"a" * 60)

# Live answers: the first byte is the chunk size - 1 the link receives them in.
live = with_crc([1, 3, 12, 0, 0, 0, 21, 0, 50, 0, 230, 0, 7, 0, 9])
put("fuzz_live_answer", "answer_one_piece", bytes([254]) + live)
put("fuzz_live_answer", "answer_in_threes", bytes([2]) + live)
put("fuzz_live_answer", "negative_value", bytes([254]) + with_crc([9, 3, 12, 0xFF, 0xFF, 0xFF, 0xFB, 0, 25, 0, 1, 0, 0, 0, 0]))
put("fuzz_live_answer", "garbage_then_answer", bytes([254]) + b"\x55\xaa\x00" + live)
put("fuzz_live_answer", "full_buffer", bytes([16]) + live * 20)
put("fuzz_live_answer", "crc_of_nothing", bytes([0, 0xFF, 0xFF]))

# Log answers: the first byte picks the code (index into A0, A1, A2, A3, A4, A5, A7).
record = [4, 0xA0, 0, 5, 13, 45, 1, 3, 26] + list(struct.pack("<ff", 21.5, -3.25))
put("fuzz_log_answer", "record", bytes([0]) + with_crc(record))
put("fuzz_log_answer", "record_bad_month", bytes([0]) + with_crc(record[:7] + [13] + record[8:]))
put("fuzz_log_answer", "count", bytes([1]) + with_crc([4, 0xA1, 0x01, 0x2C]))
put("fuzz_log_answer", "erase", bytes([2]) + with_crc([4, 0xA2]))
put("fuzz_log_answer", "set_interval", bytes([3]) + with_crc([4, 0xA3]))
put("fuzz_log_answer", "interval", bytes([4]) + with_crc([4, 0xA4, 1, 30]))
put("fuzz_log_answer", "state", bytes([5]) + with_crc([4, 0xA5, 1]))
put("fuzz_log_answer", "set_state", bytes([6]) + with_crc([4, 0xA7]))
put("fuzz_log_answer", "short_with_crc", bytes([0]) + with_crc([4, 0xA0, 0]))

# History: one byte of mode (even: whole file below 256 KiB; odd: sparse, size given in
# units of 8 bytes), three bytes of size (little-endian), then the content repeated.
rec = struct.pack("<ffd", 1.5, 20.25, 46082.5)
put("fuzz_history", "two_records", rec + rec)
put("fuzz_history", "tiny", b"\x01\x02")
put("fuzz_history", "partial_tail", b"\x00" + struct.pack("<I", 16 * 2 + 11)[:3] + rec)
put("fuzz_history", "thinned_8000", b"\x00" + struct.pack("<I", 16 * 8000)[:3] + rec)
put("fuzz_history", "thinned_odd_size", b"\x00" + struct.pack("<I", 16 * 1500 + 7)[:3] + rec)
put("fuzz_history", "sparse_seek_stride", b"\x01" + struct.pack("<I", (16 * 2_600_000 + 5) // 8)[:3] + rec)

put("fuzz_text_codec", "ascii", b"Device 12, pump")
put("fuzz_text_codec", "cyrillic_cp1251", "Счётчик тепла №3".encode("cp1251"))
put("fuzz_text_codec", "cyrillic_utf8", "Счётчик тепла №3".encode("utf-8"))
put("fuzz_text_codec", "no_character_98", b"a\x98b")
put("fuzz_text_codec", "overlong_utf8", b"\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80")
put("fuzz_text_codec", "all_bytes", bytes(range(256)))

# Framer: pushes of (pause in tenths of the frame silence, length, bytes).
def push(pause, data):
    return bytes([pause, len(data)]) + bytes(data)


read = with_crc([1, 3, 0, 0, 0, 6])
put("fuzz_request_framer", "one_request", push(20, read))
put("fuzz_request_framer", "request_split", push(20, read[:3]) + push(1, read[3:]))
put("fuzz_request_framer", "split_by_pause", push(20, read[:3]) + push(40, read[3:]))
put("fuzz_request_framer", "log_requests", push(20, with_crc([2, 0xA1])) + push(20, with_crc([2, 0xA0, 0, 7]))
    + push(20, with_crc([2, 0xA7, 1])))
put("fuzz_request_framer", "write_multiple", push(20, with_crc([1, 0x10, 0, 0, 0, 2, 4, 1, 2, 3, 4])))
put("fuzz_request_framer", "unknown_code", push(20, with_crc([1, 0x2B, 0x0E, 1, 0])))
put("fuzz_request_framer", "babble", push(0, [0x55] * 255) + push(0, [0xAA] * 255))

put("fuzz_port_name", "ipv4", b"tcp://192.168.1.50:4001")
put("fuzz_port_name", "ipv6_zone", b"tcp://[fe80::1%eth0]:502")
put("fuzz_port_name", "name_any_case", b"TCP://gw.plant.local:65535")
put("fuzz_port_name", "no_port", b"tcp://gw:")
put("fuzz_port_name", "port_zero", b"tcp://:0")
