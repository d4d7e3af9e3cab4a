#!/usr/bin/env python3
"""Reads holding registers 0..5 of simulated devices with pymodbus and compares them.

    pymodbus_client.py --port TTY --expect ADDR:R0,R1,R2,R3,R4,R5 [--expect ...]

Exit status: 0 when every device answered with the expected registers, 1 on a
mismatch, 2 when a device did not answer or the port could not be opened.
"""
import argparse
import logging
import sys

from pymodbus.client import ModbusSerialClient
from pymodbus.framer.rtu_framer import ModbusRtuFramer


def expectation(text):
    addr, _, regs = text.partition(":")
    values = [int(v) for v in regs.split(",")]
    if len(values) != 6:
        raise argparse.ArgumentTypeError("six register values expected")
    return int(addr), values


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", required=True)
    parser.add_argument("--expect", type=expectation, action="append", required=True)
    args = parser.parse_args()
    logging.basicConfig(level=logging.ERROR)

    client = ModbusSerialClient(
        port=args.port,
        framer=ModbusRtuFramer,
        baudrate=9600,
        bytesize=8,
        parity="N",
        stopbits=1,
        timeout=3,
        retries=0,
    )
    if not client.connect():
        print(f"cannot open {args.port}", file=sys.stderr)
        return 2
    status = 0
    try:
        for addr, expected in args.expect:
            rr = client.read_holding_registers(0, 6, slave=addr)
            if rr is None or rr.isError():
                print(f"device {addr}: no valid answer: {rr}", file=sys.stderr)
                return 2
            got = list(rr.registers)
            if got != expected:
                print(f"device {addr}: registers {got}, expected {expected}", file=sys.stderr)
                status = 1
            else:
                print(f"device {addr}: {got}")
    finally:
        client.close()
    return status


if __name__ == "__main__":
    sys.exit(main())
