// Builders of SSDP packets and device descriptions shared by the discovery tests.
#pragma once

#include <string>

namespace disc_test {

constexpr const char *SERVER_TYPE = "urn:schemas-upnp-org:device:MediaServer:1";
constexpr const char *RENDERER_TYPE = "urn:schemas-upnp-org:device:MediaRenderer:1";
constexpr const char *CDS_TYPE = "urn:schemas-upnp-org:service:ContentDirectory:1";

inline std::string service_xml(const std::string &type, const std::string &control) {
    return "<service><serviceType>" + type + "</serviceType><serviceId>urn:upnp-org:serviceId:x</serviceId>" +
           "<controlURL>" + control +
           "</controlURL><eventSubURL>/ev</eventSubURL><SCPDURL>/scpd.xml</SCPDURL>" + "</service>";
}

inline std::string description(const std::string &udn, const std::string &type,
                               const std::string &friendly = "Box",
                               const std::string &services = service_xml(CDS_TYPE, "/ctl/cds"),
                               const std::string &extra = "") {
    return "<?xml version=\"1.0\"?>\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\">" + extra +
           "<device><deviceType>" + type + "</deviceType><friendlyName>" + friendly +
           "</friendlyName><manufacturer>Maker</manufacturer><modelName>M1</modelName><UDN>" + udn +
           "</UDN><serviceList>" + services + "</serviceList></device></root>";
}

inline std::string alive(const std::string &usn, const std::string &location, int max_age = 1800) {
    return "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nCACHE-CONTROL: max-age=" +
           std::to_string(max_age) + "\r\nLOCATION: " + location +
           "\r\nNT: upnp:rootdevice\r\nNTS: ssdp:alive\r\nUSN: " + usn + "\r\n\r\n";
}

inline std::string reply(const std::string &st, const std::string &usn, const std::string &location,
                         int max_age = 1800) {
    return "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=" + std::to_string(max_age) + "\r\nST: " + st +
           "\r\nUSN: " + usn + "\r\nLOCATION: " + location + "\r\n\r\n";
}

inline std::string byebye(const std::string &nt, const std::string &usn) {
    return "NOTIFY * HTTP/1.1\r\nNT: " + nt + "\r\nNTS: ssdp:byebye\r\nUSN: " + usn + "\r\n\r\n";
}

} // namespace disc_test
