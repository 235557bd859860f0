#!/usr/bin/env python3
"""Scripted UPnP peers for the command-line tool's tests: a media server, a
renderer that works, a renderer that answers every action with HTTP 500, a
renderer whose UDN is exactly 79 bytes long, a slow renderer (TRANSITIONING for
a moment after Play, then a 3 s track; it plays only video/mp4) and a stuck one
(TRANSITIONING for ever). They answer SSDP searches on loopback (a search for a
"uuid:" only from that device) and serve descriptions and SOAP actions over HTTP
on 127.0.0.1.

Every SOAP request is appended to LOG as one line: "<path> <body>".
Runs only inside a network namespace of the test's own (KVDMC_IN_NETNS=1),
and ends by itself after a bounded lifetime.

Usage: fake_peers.py PORT LOG
"""
import html
import os
import re
import socket
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LIFETIME_S = 300
GROUP, SSDP_PORT = "239.255.255.250", 1900

SERVER = "uuid:Mock-Server-1"
RENDERER = "uuid:Mock-Renderer-1"
BROKEN = "uuid:Mock-Broken-1"
LONG = "uuid:" + "l" * 74  # 79 bytes, the longest UDN a device row holds
SLOW = "uuid:Mock-Slow-1"
STUCK = "uuid:Mock-Stuck-1"
BIG_FOLDER = 300

MS = "urn:schemas-upnp-org:device:MediaServer:1"
MR = "urn:schemas-upnp-org:device:MediaRenderer:1"
CD = "urn:schemas-upnp-org:service:ContentDirectory:1"
AVT = "urn:schemas-upnp-org:service:AVTransport:1"
RC = "urn:schemas-upnp-org:service:RenderingControl:1"
CM = "urn:schemas-upnp-org:service:ConnectionManager:1"

# path prefix -> (udn, device type, friendly name, services as (type, control path))
DEVICES = {
    "s": (SERVER, MS, "Mock Server", [(CD, "/s/cd")]),
    "r": (RENDERER, MR, "Mock Renderer", [(AVT, "/r/avt"), (RC, "/r/rc"), (CM, "/r/cm")]),
    "b": (BROKEN, MR, "Mock Broken", [(AVT, "/b/avt"), (RC, "/b/rc")]),
    "l": (LONG, MR, "Mock Long", [(AVT, "/l/avt"), (RC, "/l/rc")]),
    "t": (SLOW, MR, "Mock Slow", [(AVT, "/t/avt"), (RC, "/t/rc"), (CM, "/t/cm")]),
    "n": (STUCK, MR, "Mock Stuck", [(AVT, "/n/avt"), (RC, "/n/rc"), (CM, "/n/cm")]),
}


def description(udn, dtype, name, services):
    svc = "".join(
        f"<service><serviceType>{t}</serviceType><serviceId>urn:upnp-org:serviceId:{t.split(':')[3]}"
        f"</serviceId><controlURL>{c}</controlURL><eventSubURL>{c}/ev</eventSubURL>"
        f"<SCPDURL>{c}.xml</SCPDURL></service>"
        for t, c in services
    )
    return (
        '<?xml version="1.0"?><root xmlns="urn:schemas-upnp-org:device-1-0"><specVersion><major>1</major>'
        f"<minor>0</minor></specVersion><device><deviceType>{dtype}</deviceType>"
        f"<friendlyName>{name}</friendlyName><manufacturer>kvdmc tests</manufacturer>"
        f"<modelName>fake</modelName><UDN>{udn}</UDN><serviceList>{svc}</serviceList></device></root>"
    )


def didl(entries):
    return (
        '<DIDL-Lite xmlns="urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/" '
        'xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:upnp="urn:schemas-upnp-org:metadata-1-0/upnp/">'
        + "".join(entries)
        + "</DIDL-Lite>"
    )


def container(oid, parent, title, n):
    return (
        f'<container id="{oid}" parentID="{parent}" restricted="1" childCount="{n}">'
        f"<dc:title>{html.escape(title)}</dc:title><upnp:class>object.container.storageFolder</upnp:class>"
        "</container>"
    )


def item(oid, parent, title, url):
    return (
        f'<item id="{oid}" parentID="{parent}" restricted="1"><dc:title>{html.escape(title)}</dc:title>'
        '<upnp:class>object.item.audioItem.musicTrack</upnp:class>'
        f'<res protocolInfo="http-get:*:audio/mpeg:*" size="1000">{html.escape(url)}</res></item>'
    )


def children(oid, base):
    """All children of a folder, or None for an unknown object."""
    if oid == "0":
        return [container("1", "0", "Music & Films", 1), container("2", "0", "Big", BIG_FOLDER)]
    if oid == "1":
        return [item("1$1", "1", 'Rock & "Roll" – Größe', base + "/media/a&b.mp3")]
    if oid == "2":
        return [item(f"2${i}", "2", f"Track {i:03d}", f"{base}/media/{i}.mp3") for i in range(BIG_FOLDER)]
    if oid == "3":  # titles that begin with digits; not listed under the root
        titles = ["Intro", "Prelude", "01 - Overture", "2001 A Space Odyssey"]
        return [item(f"3${i}", "3", t, f"{base}/media/3-{i}.mp3") for i, t in enumerate(titles)]
    return None


def arg(body, name):
    m = re.search(rf"<{name}>(.*?)</{name}>", body, re.S)
    return html.unescape(m.group(1)) if m else ""


def hms(s):
    s = int(s)
    return f"{s // 3600}:{s // 60 % 60:02d}:{s % 60:02d}"


class Renderer:
    """transition_s: how long Play leaves it TRANSITIONING (None: for ever);
    track_s: the length of what it plays (None: it plays until stopped)."""

    def __init__(self, sink, transition_s=0, track_s=None):
        self.sink = sink
        self.transition_s, self.track_s = transition_s, track_s
        self.playing_since = None  # monotonic time of Play while not stopped or paused
        self.paused_state = "STOPPED"
        self.volume = 37
        self.lock = threading.Lock()

    def state(self):
        if self.playing_since is None:
            return self.paused_state
        t = time.monotonic() - self.playing_since
        if self.transition_s is None or t < self.transition_s:
            return "TRANSITIONING"
        if self.track_s is not None and t >= self.transition_s + self.track_s:
            self.playing_since, self.paused_state = None, "STOPPED"
            return "STOPPED"
        return "PLAYING"

    def position(self):
        if self.state() != "PLAYING":
            return 0
        return time.monotonic() - self.playing_since - self.transition_s


AUDIO_VIDEO = "http-get:*:audio/mpeg:*,http-get:*:video/mp4:DLNA.ORG_PN=AVC_MP4_BL_CIF15_AAC_520"
RENDERERS = {
    "r": Renderer(AUDIO_VIDEO),
    "l": Renderer(AUDIO_VIDEO),
    "t": Renderer("http-get:*:video/mp4:*", transition_s=0.6, track_s=3),
    "n": Renderer("http-get:*:audio/*:*", transition_s=None),
}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *a):  # keep the test's output quiet
        pass

    def reply(self, code, body, ctype="text/xml"):
        data = body.encode()
        self.send_response(code)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        key = self.path.strip("/").removesuffix(".xml")
        if key in DEVICES:
            self.reply(200, description(*DEVICES[key]))
        else:
            self.reply(404, "")

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0"))).decode("utf-8", "replace")
        with open(self.server.log, "a", encoding="utf-8") as f:
            f.write(self.path + " " + body.replace("\n", " ") + "\n")
        m = re.search(r"<u:(\w+) xmlns:u=\"([^\"]+)\"", body)
        if not m:
            return self.reply(400, "")
        action, svc = m.groups()
        dev = self.path.split("/")[1]
        if dev == "b":
            return self.fault(501, "Action Failed")
        out = self.act(dev, action, body)
        if out is None:
            return self.fault(701, "No such object")
        self.reply(
            200,
            '<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            f'<u:{action}Response xmlns:u="{svc}">{out}</u:{action}Response></s:Body></s:Envelope>',
        )

    def fault(self, code, text):
        self.reply(
            500,
            '<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/"><s:Body>'
            "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
            f'<UPnPError xmlns="urn:schemas-upnp-org:control-1-0"><errorCode>{code}</errorCode>'
            f"<errorDescription>{text}</errorDescription></UPnPError></detail></s:Fault></s:Body></s:Envelope>",
        )

    def act(self, dev, action, body):
        if dev == "s" and action == "Browse":
            base = f"http://127.0.0.1:{self.server.server_port}"
            kids = children(arg(body, "ObjectID"), base)
            if kids is None:
                return None
            start, count = int(arg(body, "StartingIndex") or 0), int(arg(body, "RequestedCount") or 0)
            page = kids[start : start + count] if count > 0 else kids[start:]
            return (
                f"<Result>{html.escape(didl(page))}</Result><NumberReturned>{len(page)}</NumberReturned>"
                f"<TotalMatches>{len(kids)}</TotalMatches><UpdateID>7</UpdateID>"
            )
        r = RENDERERS.get(dev)
        if r is None:
            return None
        with r.lock:
            if action in ("SetAVTransportURI", "Seek"):
                return ""
            if action == "Play":
                r.playing_since = time.monotonic()
                return ""
            if action in ("Pause", "Stop"):
                r.playing_since = None
                r.paused_state = "PAUSED_PLAYBACK" if action == "Pause" else "STOPPED"
                return ""
            if action == "GetTransportInfo":
                return (
                    f"<CurrentTransportState>{r.state()}</CurrentTransportState>"
                    "<CurrentTransportStatus>OK</CurrentTransportStatus><CurrentSpeed>1</CurrentSpeed>"
                )
            if action == "GetPositionInfo":
                track = hms(r.track_s or 0)
                return (
                    f"<Track>1</Track><TrackDuration>{track}</TrackDuration><RelTime>{hms(r.position())}</RelTime>"
                    "<AbsTime>NOT_IMPLEMENTED</AbsTime><RelCount>0</RelCount><AbsCount>0</AbsCount>"
                )
            if action == "GetProtocolInfo":
                return f"<Source></Source><Sink>{r.sink}</Sink>"
            if action == "GetVolume":
                return f"<CurrentVolume>{r.volume}</CurrentVolume>"
            if action == "SetVolume":
                r.volume = int(arg(body, "DesiredVolume") or 0)
                return ""
        return None


def ssdp_loop(port, deadline, st_log):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("", SSDP_PORT))
    mreq = struct.pack("4s4s", socket.inet_aton(GROUP), socket.inet_aton("127.0.0.1"))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
    s.settimeout(0.5)
    while time.monotonic() < deadline:
        try:
            data, peer = s.recvfrom(4096)
        except socket.timeout:
            continue
        if not data.startswith(b"M-SEARCH"):
            continue
        # Which kinds a command searches for is part of its behaviour: keep every ST.
        m = re.search(rb"^ST:\s*(\S+)", data, re.M | re.I)
        st = m.group(1).decode(errors="replace") if m else "-"
        with open(st_log, "a") as f:
            f.write(st + "\n")
        for key, (udn, dtype, _, _) in DEVICES.items():
            # A search for one device by its UDN is answered by that device only, as
            # itself; any other search by every device.
            if st.startswith("uuid:") and st != udn:
                continue
            st_usn = f"ST: {udn}\r\nUSN: {udn}" if st == udn else f"ST: {dtype}\r\nUSN: {udn}::{dtype}"
            msg = (
                "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1800\r\nEXT:\r\n"
                f"LOCATION: http://127.0.0.1:{port}/{key}.xml\r\nSERVER: Linux UPnP/1.0 fake/1\r\n"
                f"{st_usn}\r\n\r\n"
            )
            s.sendto(msg.encode(), peer)


def main():
    if os.environ.get("KVDMC_IN_NETNS") != "1":
        sys.exit("fake_peers.py: run me inside the test's own network namespace (scripts/netns-run)")
    port, log = int(sys.argv[1]), sys.argv[2]
    deadline = time.monotonic() + LIFETIME_S
    httpd = ThreadingHTTPServer(("127.0.0.1", port), Handler)
    httpd.log = log
    httpd.timeout = 0.5
    threading.Thread(target=ssdp_loop, args=(port, deadline, log + ".st"), daemon=True).start()
    while time.monotonic() < deadline:
        httpd.handle_request()


if __name__ == "__main__":
    main()
