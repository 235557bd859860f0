#!/usr/bin/env python3
"""The soak's own media server: a small ContentDirectory whose description and SOAP
answers can be made to hang or to answer garbage, for fault injection.

The mode is read from STATE on every request: one line "MODE GEN", MODE one of
  ok         answer normally
  hang-desc  hold every description request without a word (at most HOLD_S)
  garbage    answer every SOAP request with 200 and bytes that are no envelope
and GEN numbers the device: its UDN is uuid:soak-own-GEN, so a new GEN is a device the
client has never seen and must fetch the description of. Answers SSDP searches on
ADDR's interface. Runs only inside a network namespace of the soak's sandbox and ends
by itself after LIFETIME seconds.

Usage: own_peer.py ADDR PORT STATE LIFETIME
"""
import html
import os
import random
import re
import socket
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

GROUP, SSDP_PORT = "239.255.255.250", 1900
HOLD_S = 30
FOLDER = 40
MS = "urn:schemas-upnp-org:device:MediaServer:1"
CD = "urn:schemas-upnp-org:service:ContentDirectory:1"
CM = "urn:schemas-upnp-org:service:ConnectionManager:1"


def state(path):
    try:
        with open(path, encoding="ascii") as f:
            mode, gen = f.read().split()[:2]
        return mode, int(gen)
    except (OSError, ValueError):
        return "ok", 0


def description(gen):
    svc = "".join(
        f"<service><serviceType>{t}</serviceType><serviceId>urn:upnp-org:serviceId:{t.split(':')[3]}"
        f"</serviceId><controlURL>{c}</controlURL><eventSubURL>{c}/ev</eventSubURL>"
        f"<SCPDURL>{c}.xml</SCPDURL></service>"
        for t, c in ((CD, "/cd"), (CM, "/cm"))
    )
    return (
        '<?xml version="1.0"?><root xmlns="urn:schemas-upnp-org:device-1-0"><specVersion><major>1</major>'
        f"<minor>0</minor></specVersion><device><deviceType>{MS}</deviceType>"
        f"<friendlyName>Soak Peer {gen}</friendlyName><manufacturer>kvdmc soak</manufacturer>"
        f"<modelName>own</modelName><UDN>uuid:soak-own-{gen}</UDN><serviceList>{svc}</serviceList>"
        "</device></root>"
    )


def didl(base, start, count):
    end = FOLDER if count <= 0 else min(FOLDER, start + count)
    items = "".join(
        f'<item id="o{i}" parentID="0" restricted="1"><dc:title>Own Track {i:02d}</dc:title>'
        "<upnp:class>object.item.audioItem.musicTrack</upnp:class>"
        f'<res protocolInfo="http-get:*:audio/mpeg:*" size="1000">{base}/m/{i}.mp3</res></item>'
        for i in range(start, end)
    )
    text = (
        '<DIDL-Lite xmlns="urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/" '
        'xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:upnp="urn:schemas-upnp-org:metadata-1-0/upnp/">'
        + items
        + "</DIDL-Lite>"
    )
    return text, max(0, end - start)


def arg(body, name):
    m = re.search(rf"<{name}>(.*?)</{name}>", body, re.S)
    return html.unescape(m.group(1)) if m else ""


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *a):
        pass

    def reply(self, code, body):
        data = body if isinstance(body, bytes) else body.encode()
        self.send_response(code)
        self.send_header("Content-Type", 'text/xml; charset="utf-8"')
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        mode, gen = state(self.server.state)
        m = re.fullmatch(r"/desc-(\d+)\.xml", self.path)
        if not m:
            return self.reply(404, "")
        if mode == "hang-desc":
            end = time.monotonic() + HOLD_S
            while time.monotonic() < end and state(self.server.state)[0] == "hang-desc":
                time.sleep(0.2)
            self.close_connection = True
            return
        self.reply(200, description(int(m.group(1))))

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0"))).decode("utf-8", "replace")
        mode, _ = state(self.server.state)
        if mode == "garbage":
            junk = bytes(random.randrange(256) for _ in range(random.randrange(1, 400)))
            return self.reply(200, b"<s:Envelope><s:Body><u:BrowseResponse><Result>&#" + junk)
        m = re.search(r"<u:(\w+) xmlns:u=\"([^\"]+)\"", body)
        if not m or m.group(1) != "Browse" or arg(body, "ObjectID") != "0":
            return self.reply(500, "")
        base = f"http://{self.server.addr}:{self.server.server_port}"
        start, count = int(arg(body, "StartingIndex") or 0), int(arg(body, "RequestedCount") or 0)
        text, n = didl(base, start, count)
        out = (
            f"<Result>{html.escape(text)}</Result><NumberReturned>{n}</NumberReturned>"
            f"<TotalMatches>{FOLDER}</TotalMatches><UpdateID>1</UpdateID>"
        )
        self.reply(
            200,
            '<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            f'<u:BrowseResponse xmlns:u="{CD}">{out}</u:BrowseResponse></s:Body></s:Envelope>',
        )


def ssdp_loop(addr, port, state_path, deadline):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    s.bind(("", SSDP_PORT))
    mreq = struct.pack("4s4s", socket.inet_aton(GROUP), socket.inet_aton(addr))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
    s.settimeout(0.5)
    while time.monotonic() < deadline:
        try:
            data, peer = s.recvfrom(4096)
        except socket.timeout:
            continue
        if not data.startswith(b"M-SEARCH"):
            continue
        _, gen = state(state_path)
        msg = (
            "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1800\r\nEXT:\r\n"
            f"LOCATION: http://{addr}:{port}/desc-{gen}.xml\r\nSERVER: Linux UPnP/1.0 soak/1\r\n"
            f"ST: {MS}\r\nUSN: uuid:soak-own-{gen}::{MS}\r\n\r\n"
        )
        s.sendto(msg.encode(), peer)


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    addr, port, state_path, lifetime = sys.argv[1], int(sys.argv[2]), sys.argv[3], float(sys.argv[4])
    if not os.path.exists("/proc/self/ns/net"):
        sys.exit("own_peer.py: no network namespaces here")
    deadline = time.monotonic() + lifetime
    httpd = ThreadingHTTPServer((addr, port), Handler)
    httpd.daemon_threads = True
    httpd.state = state_path
    httpd.addr = addr
    httpd.timeout = 0.5
    threading.Thread(target=ssdp_loop, args=(addr, port, state_path, deadline), daemon=True).start()
    while time.monotonic() < deadline:
        httpd.handle_request()


if __name__ == "__main__":
    main()
