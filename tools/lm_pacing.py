#!/usr/bin/env python3
"""Measures the pacing of a loudness card: connects to ADDRESS:5253 as a panel would, takes the
loudness payloads (OID 3420) for SECONDS, and prints the mean interval between them and the
drift of their arrival times against an ideal 100 ms clock.

    tools/lm_pacing.py 127.0.0.60 60
"""
import socket
import struct
import sys
import time

MAGIC = b"\xba\xd2\xac\xe5"


def main():
    address, seconds = sys.argv[1], float(sys.argv[2])
    sock = socket.create_connection((address, 5253), timeout=5)
    sock.settimeout(0.5)
    buffer = b""
    arrivals = []  # (monotonic seconds, sequence)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            data = sock.recv(65536)
        except socket.timeout:
            continue
        now = time.monotonic()
        if not data:
            break
        buffer += data
        while True:
            start = buffer.find(MAGIC)
            if start < 0 or len(buffer) < start + 9:
                break
            length = struct.unpack(">H", buffer[start + 7:start + 9])[0]
            if len(buffer) < start + 9 + length:
                break
            body = buffer[start + 9:start + 9 + length]
            buffer = buffer[start + 9 + length:]
            oid = struct.unpack(">H", body[1:3])[0]
            if oid == 3420 and body[3] == 224:
                arrivals.append((now, struct.unpack(">I", body[4 + 8:4 + 12])[0]))
    if len(arrivals) < 2:
        sys.exit("too few payloads")
    times = [t for t, _ in arrivals]
    seqs = [s for _, s in arrivals]
    n = len(times)
    intervals = [b - a for a, b in zip(times, times[1:])]
    mean = (times[-1] - times[0]) / (n - 1)
    # Least-squares slope of arrival time against sequence: the card's real period.
    ms = sum(seqs) / n
    mt = sum(times) / n
    slope = sum((s - ms) * (t - mt) for s, t in zip(seqs, times)) / sum((s - ms) ** 2 for s in seqs)
    residuals = [t - (mt + slope * (s - ms)) for s, t in zip(seqs, times)]
    gaps = sum(1 for a, b in zip(seqs, seqs[1:]) if b != a + 1)
    print(f"payloads {n}, sequence {seqs[0]}..{seqs[-1]}, gaps {gaps}")
    print(f"mean interval {mean * 1000:.3f} ms, fitted period {slope * 1000:.4f} ms")
    ordered = sorted(intervals)
    pick = lambda q: ordered[min(len(ordered) - 1, int(q * len(ordered)))] * 1000
    print(f"interval percentiles 1% {pick(0.01):.2f}, 50% {pick(0.5):.2f}, 99% {pick(0.99):.2f} ms;"
          f" within 100 +- 5 ms: {sum(1 for i in intervals if abs(i - 0.1) <= 0.005)}/{len(intervals)}")
    print(f"interval min {min(intervals) * 1000:.2f} ms, max {max(intervals) * 1000:.2f} ms")
    print(f"drift over the run {(times[-1] - times[0] - (seqs[-1] - seqs[0]) * 0.1) * 1000:+.2f} ms,"
          f" jitter (residual) max {max(abs(r) for r in residuals) * 1000:.2f} ms")


if __name__ == "__main__":
    main()
