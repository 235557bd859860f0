#!/usr/bin/env python3
"""Sends one UPnP SOAP action and prints the HTTP status line and the body.
Usage: upnp_soap.py CONTROL_URL SERVICE_TYPE ACTION [NAME=VALUE]...
Values are XML-escaped here. Meant to run inside the sandbox's client namespace."""
import sys, urllib.request, urllib.error
from xml.sax.saxutils import escape

url, stype, action = sys.argv[1:4]
args = "".join("<%s>%s</%s>" % (k, escape(v), k)
               for k, v in (a.split("=", 1) for a in sys.argv[4:]))
body = ('<?xml version="1.0" encoding="utf-8"?>\n'
        '<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
        's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
        '<u:%s xmlns:u="%s">%s</u:%s></s:Body></s:Envelope>' % (action, stype, args, action))
req = urllib.request.Request(url, data=body.encode(), method="POST", headers={
    "Content-Type": 'text/xml; charset="utf-8"',
    "SOAPACTION": '"%s#%s"' % (stype, action)})
try:
    with urllib.request.urlopen(req, timeout=5) as r:
        status, data = r.status, r.read()
except urllib.error.HTTPError as e:
    status, data = e.code, e.read()
print("HTTP %d" % status)
sys.stdout.write(data.decode("utf-8", "replace"))
print()
