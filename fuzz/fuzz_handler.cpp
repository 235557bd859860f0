// The host's JSON into the source handler and the DLNA backend's configuration:
// settings, entries and configurations of any bytes. Answers are JSON or nothing.
// Input: a selector byte, then the text.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <rapidjson/document.h>

#include "kvdmc.h"
#include "kvffa/kvffa.h"

namespace {

void check_answer(int rc, const char *out) {
    if (rc != KVRCH_OK) return;
    rapidjson::Document d;
    d.Parse<rapidjson::kParseValidateEncodingFlag>(out);
    if (d.HasParseError() || !d.IsObject()) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool init = [] {
        kvdmc_use_fake();
        kvdmc_kvffa_register();
        return true;
    }();
    (void)init;
    if (size < 1) return 0;
    std::string text((const char *)data + 1, size - 1);
    const kvrch_handler *h = kvrch_get();
    char out[512];
    switch (data[0] % 4) {
    case 0:
        check_answer(h->validate(nullptr, text.c_str(), out, sizeof out), out);
        break;
    case 1:
        check_answer(h->stream_url(nullptr, "{}", text.c_str(), out, sizeof out), out);
        break;
    case 2: {
        // A listing of a server that is not there fails cleanly, whatever the settings say.
        int rc = h->list(nullptr, text.c_str(), nullptr, out, sizeof out);
        if (rc == KVRCH_OK) abort();
        break;
    }
    default:
        if (kvffa_open("dlna", text.c_str()) == KVFFA_OK) {
            if (kvffa_list("0") == KVFFA_OK) abort(); // no device is known
            kvffa_close();
        }
        break;
    }
    return 0;
}
