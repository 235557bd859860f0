#!/usr/bin/env python3
"""Sends SSDP M-SEARCH requests from one interface address and prints every
reply (and, with --notify, every NOTIFY heard on the group) as raw text.
Usage: ssdp_probe.py IF_ADDR [--st TARGET]... [--mx N] [--wait SECONDS] [--notify]
Meant to run inside the sandbox's client namespace only."""
import argparse, socket, struct, sys, time

GROUP, PORT = "239.255.255.250", 1900

ap = argparse.ArgumentParser()
ap.add_argument("if_addr")
ap.add_argument("--st", action="append")
ap.add_argument("--wait", type=float, default=3.0)
ap.add_argument("--notify", action="store_true")
ap.add_argument("--mx", type=int, default=1)
a = ap.parse_args()
targets = a.st or ["ssdp:all"]

tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
tx.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(a.if_addr))
tx.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 2)
tx.bind((a.if_addr, 0))
socks = [tx]
if a.notify:
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    rx.bind(("", PORT))
    mreq = struct.pack("4s4s", socket.inet_aton(GROUP), socket.inet_aton(a.if_addr))
    rx.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
    socks.append(rx)

for st in targets:
    msg = ("M-SEARCH * HTTP/1.1\r\nHOST: %s:%d\r\nMAN: \"ssdp:discover\"\r\nMX: %d\r\n"
           "ST: %s\r\n\r\n" % (GROUP, PORT, a.mx, st))
    tx.sendto(msg.encode(), (GROUP, PORT))

import select
start = time.monotonic()
end = start + a.wait
n = 0
while n < 1000:
    left = end - time.monotonic()
    if left <= 0:
        break
    ready, _, _ = select.select(socks, [], [], left)
    for s in ready:
        data, src = s.recvfrom(8192)
        n += 1
        kind = "reply" if s is tx else "group"
        sys.stdout.write("---- %s from %s:%d at %.3f s\n%s\n" % (kind, src[0], src[1], time.monotonic() - start,
                         data.decode("utf-8", "replace").replace("\r\n", "\n").rstrip()))
sys.stdout.flush()
