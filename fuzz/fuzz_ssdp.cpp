// SSDP datagrams from anyone on the LAN: classification and the JSON built from them.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <rapidjson/document.h>

#include "upnp/discover.h"
#include "kvdmc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string pkt((const char *)data, size);
    ssdp_reply r;
    int kind = ssdp_parse_packet(pkt.c_str(), pkt.size(), &r);
    if (kind < -1 || kind > 3) abort();
    if (memchr(r.st, 0, sizeof r.st) == nullptr || memchr(r.usn, 0, sizeof r.usn) == nullptr ||
        memchr(r.location, 0, sizeof r.location) == nullptr)
        abort();
    if (kind == SSDP_REPLY && (r.location[0] == 0 || r.max_age_s < 60 || r.max_age_s > 86400)) abort();

    // The exported path stops at the first NUL, like a host's C string.
    if (kvdmc_parse_ssdp(pkt.c_str()) == 0) {
        rapidjson::Document d;
        d.Parse<rapidjson::kParseStopWhenDoneFlag | rapidjson::kParseValidateEncodingFlag>(kvdmc_last_json());
        if (d.HasParseError() || !d.IsObject() || !d.HasMember("packet_kind")) abort();
    }
    return 0;
}
