// Puts media servers into the device table through the fake transport, then
// hands the SOAP traffic to a scripted ContentDirectory.
#pragma once

#include <string>
#include <vector>

#include "cd_server.h"
#include "kvdmc.h"

namespace cdtest {

inline std::string description(const std::string &udn, const std::vector<std::string> &services,
                               const std::string &name = "Test Server") {
    std::string s =
        "<?xml version=\"1.0\"?>\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\"><specVersion><major>1"
        "</major><minor>0</minor></specVersion><device><deviceType>urn:schemas-upnp-org:device:"
        "MediaServer:1</deviceType><friendlyName>" +
        name + "</friendlyName><manufacturer>Acme</manufacturer><modelName>Box 2</modelName><UDN>" + udn +
        "</UDN><serviceList>";
    for (const std::string &svc : services) {
        std::string base = svc.substr(0, svc.find(':'));
        s += "<service><serviceType>urn:schemas-upnp-org:service:" + svc +
             "</serviceType><serviceId>urn:upnp-org:"
             "serviceId:" +
             base + "</serviceId><controlURL>/ctl/" + base + "</controlURL><eventSubURL>/evt/" + base +
             "</eventSubURL><SCPDURL>/" + base + ".xml</SCPDURL></service>";
    }
    return s + "</serviceList></device></root>\n";
}

// Adds a server to the table; returns kvdmc_fake_ssdp's result. Leaves the fake selected.
inline int add_server(const std::string &udn, const std::string &host,
                      const std::vector<std::string> &services = {"ConnectionManager:1",
                                                                  "ContentDirectory:1"},
                      const std::string &name = "Test Server") {
    kvdmc_use_fake();
    std::string loc = "http://" + host + "/rootDesc.xml";
    kvdmc_fake_set(loc.c_str(), 200, description(udn, services, name).c_str());
    std::string pkt =
        "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nCACHE-CONTROL: max-age=1800\r\nLOCATION: " + loc +
        "\r\nNT: urn:schemas-upnp-org:device:MediaServer:1\r\nNTS: ssdp:alive\r\nUSN: " + udn +
        "::urn:schemas-upnp-org:device:MediaServer:1\r\n\r\n";
    return kvdmc_fake_ssdp(pkt.c_str(), "10.0.0.9");
}

inline void fill(server &s, const std::string &oid, int n) {
    std::vector<std::string> &v = s.folders[oid];
    v.clear();
    for (int i = 0; i < n; i++) v.push_back(track(oid, i));
}

} // namespace cdtest
