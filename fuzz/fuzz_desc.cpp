// Description parser on arbitrary bytes. Input: one byte n, then n bytes of
// location, then the document.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <rapidjson/document.h>

#include "upnp/discover.h"
#include "base/exports.h"
#include "kvdmc.h"

static void check_text(const char *field, size_t cap) {
    if (strnlen(field, cap) >= cap) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool init = (api_enter(), true);
    (void)init;
    if (size < 1) return 0;
    size_t n = data[0];
    if (n > size - 1) n = size - 1;
    std::string location((const char *)data + 1, n);
    location = location.c_str(); // the location ends at its own first NUL
    std::string xml((const char *)data + 1 + n, size - 1 - n);

    static device_t devs[DESC_MAX_MEDIA];
    memset(devs, 0, sizeof devs);
    char err[256];
    int rc = desc_parse_devices(xml.c_str(), location.c_str(), devs, DESC_MAX_MEDIA, err, sizeof err);
    if (rc == 0 || rc > DESC_MAX_MEDIA) abort();
    for (int k = 0; k < (rc < 0 ? 1 : rc); k++) {
        const device_t &d = devs[k];
        if (rc > 0 && (!d.udn[0] || !d.device_type[0] || (!d.base[0] && !location.empty()))) abort();
        if (rc > 1 && !device_kind_of(d.device_type)) abort(); // several records are media devices
        if (d.nsvc < 0 || d.nsvc > DEVICE_MAX_SVC) abort();
        check_text(d.udn, sizeof d.udn);
        check_text(d.friendly, DEVICE_NAME_CUT + 1);
        check_text(d.manufacturer, DEVICE_NAME_CUT + 1);
        check_text(d.model_name, DEVICE_NAME_CUT + 1);
        check_text(d.location, sizeof d.location);
        check_text(d.base, sizeof d.base);
        check_text(d.device_type, sizeof d.device_type);
        check_text(d.dlna_doc, DEVICE_DLNADOC_CUT + 1);
        for (int i = 0; i < d.nsvc; i++) {
            const device_service &s = d.svc[i];
            if (!s.control[0]) abort();
            check_text(s.type, sizeof s.type);
            check_text(s.control, sizeof s.control);
        }
    }
    // The device JSON the host would read: valid UTF-8 whatever the document held.
    if (kvdmc_parse_description(xml.c_str(), location.c_str()) == 0) {
        rapidjson::Document j;
        j.Parse<rapidjson::kParseValidateEncodingFlag>(kvdmc_last_json());
        if (j.HasParseError() || !j.IsObject()) abort();
    }
    return 0;
}
