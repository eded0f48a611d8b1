#!/usr/bin/env python3
"""Writes a results log of about SIZE bytes to stdout, for timing `bootloader-cli report`.

Usage: make_results_log.py SIZE_MIB > results.jsonl

Each line is shaped as a station writes it (the result event plus time, image, sha256, host and
version): 8 ports, 2 images, 1 board in 20 failing, every board with its own USB serial number
and 1 in 50 loaded again.
"""
import sys

size = int(sys.argv[1]) << 20
digests = ["71728a213a2325e45452fe09faa50347ead79c080ba75a8290d59ce2ce1e7b03",
           "0c5a8bd6a1f1f3d4e0b7a9e22c9e4f5b1d0c7a3e6f8b2d4c9e1a7f3b5d0c2e48"]
out = sys.stdout
written = 0
board = 0
chunk = []
while written < size:
    board += 1
    port = "/dev/ttyUSB%d" % (board % 8)
    ok = board % 20 != 0
    serial = "FT%07X" % (board - 1 if board % 50 == 0 else board)
    cause = ("null" if ok else
             '"the device on %s did not acknowledge record %d of 120 in 5 sends"'
             % (port, board % 120 + 1))
    line = ('{"acknowledged":%d,"cause":%s,"event":"result","exit":%d,"host":"line1",'
            '"image":"/srv/firmware/board.bin","interrupted":false,"ok":%s,"outcome":"%s",'
            '"path":"%s","port":"%s","records":120,"seconds":%.3f,"serial":"%s",'
            '"sha256":"%s","time":"2026-12-08T%02d:%02d:%02d.%03dZ","version":"1.0.0.0"}\n'
            % (120 if ok else board % 120, cause, 0 if ok else 1, "true" if ok else "false",
               "Firmware loaded!" if ok else "Firmware not loaded", port, port,
               7 + (board % 97) / 100, serial, digests[(board // 1000) % 2],
               board // 3600 % 24, board // 60 % 60, board % 60, board % 1000))
    chunk.append(line)
    written += len(line)
    if len(chunk) == 10000:
        out.write("".join(chunk))
        chunk = []
out.write("".join(chunk))
