// Puts media servers into the device table through the fake transport, then
// hands the SOAP traffic to a scripted ContentDirectory.
#pragma once

#include <string>
#include <vector>

#include "cd_server.h"
#include "docs.h"
#include "kvdmc.h"

namespace cdtest {

// Adds a server to the table; returns kvdmc_fake_ssdp's result. Leaves the fake selected.
inline int add_server(const std::string &udn, const std::string &host,
                      const std::vector<std::string> &services = {"ConnectionManager:1",
                                                                  "ContentDirectory:1"},
                      const std::string &name = "Test Server") {
    kvdmc_use_fake();
    std::string loc = "http://" + host + "/rootDesc.xml";
    kvdmc_fake_set(loc.c_str(), 200, docs::server_description(udn, services, name).c_str());
    return kvdmc_fake_ssdp(docs::announce(udn, docs::SERVER_TYPE, loc).c_str(), "10.0.0.9");
}

inline void fill(server &s, const std::string &oid, int n) {
    std::vector<std::string> &v = s.folders[oid];
    v.clear();
    for (int i = 0; i < n; i++) v.push_back(docs::track(oid, i));
}

} // namespace cdtest
