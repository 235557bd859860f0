// Texts a renderer sends back: time values of GetPositionInfo and the Sink
// protocol-info list of GetProtocolInfo.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "upnp/cast.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // First line: the text the host matches; the rest: the renderer's text.
    std::string in((const char *)data, size);
    in = in.c_str(); // a SOAP argument never carries a NUL
    size_t nl = in.find('\n');
    std::string mime = nl == std::string::npos ? "http-get:*:video/mp4" : in.substr(0, nl);
    std::string text = nl == std::string::npos ? in : in.substr(nl + 1);

    int v = 12345;
    int r = hms_to_s(text.c_str(), &v);
    if (r != 0 && r != -1) abort();
    if (r == -1 && v != 12345) abort(); // a failed conversion writes nothing

    if (!mime.empty()) {
        int m = sink_match(text.c_str(), mime.c_str());
        if (m != 0 && m != 1) abort();
        // A match is always an entry that starts with the text.
        if (m == 1 && text.find(mime) == std::string::npos) abort();
        int a = sink_match_alias(text.c_str(), mime.c_str());
        if (a != 0 && a != 1) abort();
    }
    return 0;
}
