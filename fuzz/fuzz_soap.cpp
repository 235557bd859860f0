// SOAP responses from a device: any body, any status, any wanted argument, read
// through a transport that answers with the input; the Result then goes through
// the DIDL-Lite parser as a browse would, and every JSON text must be valid.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <rapidjson/document.h>

#include "http/io_http.h"
#include "upnp/soap.h"
#include "base/text.h"
#include "kvdmc.h"

namespace {

struct input {
    int status;
    std::string body;
    long live = 0; // buffers handed out and not yet released
};
input g_in;

char *dup_text(const std::string &s) {
    char *p = (char *)malloc(s.size() + 1);
    if (!p) abort();
    memcpy(p, s.c_str(), s.size() + 1);
    g_in.live++;
    return p;
}

int post(void *, const char *, const char *, const char *, char **out_body, int *http_code, char **out_err) {
    *out_body = dup_text(g_in.body);
    *out_err = g_in.status == 299 ? dup_text("note") : nullptr;
    *http_code = g_in.status;
    return 0;
}
int get(void *, const char *, char **, int *, char **) {
    return -1;
}
void release(void *, void *p) {
    g_in.live--;
    free(p);
}

// The same answers as the built-in transports give theirs: heap texts the reader may
// decode into and keep.
int post_heap(void *, const char *, const char *, const char *, char **out_body, int *http_code,
              char **out_err) {
    *out_body = strdup(g_in.body.c_str());
    *out_err = g_in.status == 299 ? strdup("note") : nullptr;
    *http_code = g_in.status;
    return *out_body ? 0 : -1;
}

void check_json(const char *s) {
    rapidjson::Document d;
    d.Parse<rapidjson::kParseValidateEncodingFlag>(s); // strict, and valid UTF-8
    if (d.HasParseError() || !d.IsObject()) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const quorlin_io io = {nullptr, get, post, release};
    static device_t dev = [] {
        device_t d;
        memset(&d, 0, sizeof d);
        str_copy(d.svc[0].type, sizeof d.svc[0].type, "urn:schemas-upnp-org:service:ContentDirectory:1");
        str_copy(d.svc[0].control, sizeof d.svc[0].control, "http://192.0.2.1/ctl");
        d.nsvc = 1;
        kvdmc_set_io(&io);
        return d;
    }();
    // Byte 0 picks the status; the text up to the first newline is the wanted argument.
    if (size < 1) return 0;
    static const int statuses[] = {200, 500, 401, 299, 404, 501, 403, 204};
    g_in.status = statuses[data[0] & 7];
    std::string rest((const char *)data + 1, size - 1);
    size_t nl = rest.find('\n');
    std::string want = nl == std::string::npos ? "Result" : rest.substr(0, nl < 64 ? nl : 64);
    g_in.body = nl == std::string::npos ? rest : rest.substr(nl + 1);

    sbuf_scoped result;
    char a[32], b[8];
    soap_out outs[] = {{"Result", nullptr, 0, &result, 0},
                       {want.c_str(), a, sizeof a, nullptr, 0},
                       {"NumberReturned", b, sizeof b, nullptr, 0}};
    char err[256];
    int code = 0;
    int last = kvdmc_last_code();
    int r = soap_action_args(&dev, "ContentDirectory:1", "Browse", "<ObjectID>0</ObjectID>", outs, 3, &code,
                             err, sizeof err);
    // Every outcome is success or one of the codes a call can record.
    if (r != 0 && r != KVDMC_E_NET && r != KVDMC_E_UPNP && r != KVDMC_E_PARSE && r != KVDMC_E_AUTH &&
        r != KVDMC_E_NOMEM)
        abort();
    // The reporting state belongs to the exported functions: the client leaves it alone.
    if (kvdmc_last_code() != last) abort();
    if (memchr(err, 0, sizeof err) == nullptr || strnlen(a, sizeof a) >= sizeof a) abort();
    char one[16];
    int r1 = soap_action_arg(&dev, "ContentDirectory:1", "Browse", "", want.c_str(), one, sizeof one, &code,
                             err, sizeof err);
    // Without a fault the outcome never depends on which arguments are gathered. A fault
    // nested inside a wanted argument is read as that argument's text, so there it may.
    if (r1 != r && g_in.body.find("Fault") == std::string::npos) abort();
    if (g_in.live != 0) abort();

    // Read from a heap body (the long argument decoded over it and kept), the outcome and
    // every output are the same.
    static const quorlin_io heap = {nullptr, get, post_heap, io_free_text};
    kvdmc_set_io(&heap);
    sbuf_scoped result2;
    char a2[32], b2[8], err2[256];
    soap_out outs2[] = {{"Result", nullptr, 0, &result2, 0},
                        {want.c_str(), a2, sizeof a2, nullptr, 0},
                        {"NumberReturned", b2, sizeof b2, nullptr, 0}};
    int r2 = soap_action_args(&dev, "ContentDirectory:1", "Browse", "<ObjectID>0</ObjectID>", outs2, 3, &code,
                              err2, sizeof err2);
    kvdmc_set_io(&io);
    if (r2 != r || result2.b.n != result.b.n || memcmp(result2.str(), result.str(), result.b.n) != 0 ||
        strcmp(a2, a) != 0 || strcmp(b2, b) != 0)
        abort();
    for (int k = 0; k < 3; k++)
        if (outs2[k].found != outs[k].found) abort();

    if (r == 0 && kvdmc_parse_didl(result.str()) == 0) {
        check_json(kvdmc_last_json());
        for (int i = 0, n = kvdmc_item_count(); i < n; i++) check_json(kvdmc_item_json(i));
    }
    return 0;
}
