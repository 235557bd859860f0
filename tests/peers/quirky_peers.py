#!/usr/bin/env python3
"""A renderer and a media server with the habits of devices people own, for the
end-to-end tests.

The renderer ("uuid:Quirky-Renderer-1") refuses any CurrentURIMetaData but an empty
one (UPnP error 714), lists only ABS_TIME and TRACK_NR as seek units and answers a
REL_TIME seek with 710, runs its Volume from 0 to 60 (402 above), and answers Stop
with 701 while nothing is loaded (NO_MEDIA_PRESENT).

The server ("uuid:Quirky-Server-1") has a folder "0" of 300 tracks, refuses a Browse
asking for more than 100 objects with 720, and ignores StartingIndex: every page is
the folder's first.

Neither joins the SSDP multicast group: both answer M-SEARCH only when it is sent to
ADDR:1900 itself (a unicast search). Descriptions and SOAP actions are served over
HTTP on ADDR:PORT. Every SOAP request is appended to LOG as one line
"<path> <action> <body>". Runs only inside a network namespace of the test's own
(KVDMC_IN_NETNS=1 or SANDBOX_UP=1) and ends by itself after a bounded lifetime.

Usage: quirky_peers.py ADDR PORT LOG
"""
import html
import os
import re
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LIFETIME_S = 120
SSDP_PORT = 1900
FOLDER = 300

RENDERER = "uuid:Quirky-Renderer-1"
SERVER = "uuid:Quirky-Server-1"
MS = "urn:schemas-upnp-org:device:MediaServer:1"
MR = "urn:schemas-upnp-org:device:MediaRenderer:1"
CD = "urn:schemas-upnp-org:service:ContentDirectory:1"
AVT = "urn:schemas-upnp-org:service:AVTransport:1"
RC = "urn:schemas-upnp-org:service:RenderingControl:1"
CM = "urn:schemas-upnp-org:service:ConnectionManager:1"

DEVICES = {
    "r": (RENDERER, MR, "Quirky Renderer", [(AVT, "/r/avt"), (RC, "/r/rc"), (CM, "/r/cm")]),
    "s": (SERVER, MS, "Quirky Server", [(CD, "/s/cd"), (CM, "/s/cm")]),
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
        f"<modelName>quirky</modelName><UDN>{udn}</UDN><serviceList>{svc}</serviceList></device></root>"
    )


def scpd(variables):
    return (
        '<?xml version="1.0"?><scpd xmlns="urn:schemas-upnp-org:service-1-0"><specVersion><major>1</major>'
        "<minor>0</minor></specVersion><actionList/><serviceStateTable>"
        + "".join(f'<stateVariable sendEvents="no"><name>{n}</name>{rest}</stateVariable>' for n, rest in variables)
        + "</serviceStateTable></scpd>"
    )


SCPDS = {
    "/r/avt.xml": scpd(
        [
            ("TransportState", "<dataType>string</dataType>"),
            (
                "A_ARG_TYPE_SeekMode",
                "<dataType>string</dataType><allowedValueList><allowedValue>TRACK_NR</allowedValue>"
                "<allowedValue>ABS_TIME</allowedValue></allowedValueList>",
            ),
        ]
    ),
    "/r/rc.xml": scpd(
        [
            ("Mute", "<dataType>boolean</dataType>"),
            (
                "Volume",
                "<dataType>ui2</dataType><allowedValueRange><minimum>0</minimum><maximum>60</maximum>"
                "<step>1</step></allowedValueRange>",
            ),
        ]
    ),
}


def didl(entries):
    return (
        '<DIDL-Lite xmlns="urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/" '
        'xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:upnp="urn:schemas-upnp-org:metadata-1-0/upnp/">'
        + "".join(entries)
        + "</DIDL-Lite>"
    )


def track(i, base):
    return (
        f'<item id="t{i}" parentID="0" restricted="1"><dc:title>Track {i}</dc:title>'
        "<upnp:class>object.item.audioItem.musicTrack</upnp:class>"
        f'<res protocolInfo="http-get:*:audio/mpeg:*">{base}/media/t{i}.mp3</res></item>'
    )


def arg(body, name):
    m = re.search(rf"<{name}>(.*?)</{name}>", body, re.S)
    return html.unescape(m.group(1)) if m else ""


class Renderer:
    def __init__(self):
        self.lock = threading.Lock()
        self.uri = None
        self.state = "NO_MEDIA_PRESENT"
        self.volume = 20


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
            return self.reply(200, description(*DEVICES[key]))
        if self.path in SCPDS:
            return self.reply(200, SCPDS[self.path])
        self.reply(404, "")

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0"))).decode("utf-8", "replace")
        m = re.search(r"<u:(\w+) xmlns:u=\"([^\"]+)\"", body)
        if not m:
            return self.reply(400, "")
        action, svc = m.groups()
        with open(self.server.log, "a", encoding="utf-8") as f:
            f.write(f"{self.path} {action} {body.replace(chr(10), ' ')}\n")
        dev = self.path.split("/")[1]
        out = self.renderer(action, body) if dev == "r" else self.content(action, body)
        if isinstance(out, tuple):
            return self.fault(*out)
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

    def renderer(self, action, body):
        r = self.server.rnd
        with r.lock:
            if action == "SetAVTransportURI":
                if arg(body, "CurrentURIMetaData").strip():
                    return (714, "Illegal MIME-type")
                r.uri, r.state = arg(body, "CurrentURI"), "STOPPED"
                return ""
            if action == "Stop":
                if r.uri is None:
                    return (701, "Transition not available")
                r.state = "STOPPED"
                return ""
            if action == "Play":
                if r.uri is None:
                    return (701, "Transition not available")
                r.state = "PLAYING"
                return ""
            if action == "Seek":
                return "" if arg(body, "Unit") == "ABS_TIME" else (710, "Seek mode not supported")
            if action == "GetTransportInfo":
                return (
                    f"<CurrentTransportState>{r.state}</CurrentTransportState>"
                    "<CurrentTransportStatus>OK</CurrentTransportStatus><CurrentSpeed>1</CurrentSpeed>"
                )
            if action == "SetVolume":
                v = int(arg(body, "DesiredVolume") or -1)
                if not 0 <= v <= 60:
                    return (402, "Invalid Args")
                r.volume = v
                return ""
            if action == "GetVolume":
                return f"<CurrentVolume>{r.volume}</CurrentVolume>"
        return (401, "Invalid Action")

    def content(self, action, body):
        if action != "Browse":
            return (401, "Invalid Action")
        base = f"http://{self.server.server_address[0]}:{self.server.server_port}"
        if arg(body, "BrowseFlag") == "BrowseMetadata":
            page = [
                f'<container id="0" parentID="-1" childCount="{FOLDER}"><dc:title>Root</dc:title>'
                "<upnp:class>object.container.storageFolder</upnp:class></container>"
            ]
            total = 1
        else:
            if arg(body, "ObjectID") != "0":
                return (701, "No such object")
            count = int(arg(body, "RequestedCount") or 0)
            if count == 0 or count > 100:
                return (720, "Cannot process the request")
            page = [track(i, base) for i in range(min(count, FOLDER))]  # StartingIndex ignored
            total = FOLDER
        return (
            f"<Result>{html.escape(didl(page))}</Result><NumberReturned>{len(page)}</NumberReturned>"
            f"<TotalMatches>{total}</TotalMatches><UpdateID>3</UpdateID>"
        )


def ssdp(addr, port, until):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((addr, SSDP_PORT))  # its own address only: no group membership
    s.settimeout(0.2)
    while time.time() < until:
        try:
            data, peer = s.recvfrom(4096)
        except socket.timeout:
            continue
        text = data.decode("latin-1")
        if not text.startswith("M-SEARCH "):
            continue
        m = re.search(r"\r\nST: *([^\r\n]*)", text, re.I)
        st = m.group(1).strip() if m else ""
        for key, (udn, dtype, _, _) in DEVICES.items():
            if st not in ("ssdp:all", "upnp:rootdevice", dtype, udn):
                continue
            usn = udn if st == udn else f"{udn}::{dtype if st == 'ssdp:all' else st}"
            s.sendto(
                (
                    "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nEXT:\r\n"
                    f"LOCATION: http://{addr}:{port}/{key}.xml\r\nSERVER: Linux/1 UPnP/1.1 quirky/1\r\n"
                    f"ST: {st}\r\nUSN: {usn}\r\n\r\n"
                ).encode(),
                peer,
            )


def main():
    if os.environ.get("KVDMC_IN_NETNS") != "1" and os.environ.get("SANDBOX_UP") != "1":
        sys.exit("quirky_peers.py: run only inside a network namespace of the test's own")
    addr, port, log = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    until = time.time() + LIFETIME_S
    srv = ThreadingHTTPServer((addr, port), Handler)
    srv.daemon_threads = True
    srv.log = log
    srv.rnd = Renderer()
    threading.Thread(target=srv.serve_forever, daemon=True).start()
    t = threading.Thread(target=ssdp, args=(addr, port, until), daemon=True)
    t.start()
    open(log + ".ready", "w").close()
    t.join()
    srv.shutdown()


if __name__ == "__main__":
    main()
