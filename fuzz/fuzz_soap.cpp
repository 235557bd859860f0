// SOAP responses from a device: any body, any status, any wanted argument, read
// through a transport that answers with the input; the Result then goes through
// the DIDL-Lite parser as a browse would, and every JSON text must be valid.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <rapidjson/document.h>

#include "upnp/soap.h"
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
    int r = soap_action_args(&dev, "ContentDirectory:1", "Browse", "<ObjectID>0</ObjectID>", outs, 3, &code,
                             err, sizeof err);
    // Every outcome is success or one of the codes a call can record.
    if (r != 0 && r != KVDMC_E_NET && r != KVDMC_E_UPNP && r != KVDMC_E_PARSE && r != KVDMC_E_AUTH &&
        r != KVDMC_E_NOMEM)
        abort();
    if (r != kvdmc_last_code()) abort();
    if (memchr(err, 0, sizeof err) == nullptr || strnlen(a, sizeof a) >= sizeof a) abort();
    char one[16];
    int r1 = soap_action_arg(&dev, "ContentDirectory:1", "Browse", "", want.c_str(), one, sizeof one, &code,
                             err, sizeof err);
    // Without a fault the outcome never depends on which arguments are gathered. A fault
    // nested inside a wanted argument is read as that argument's text, so there it may.
    if (r1 != r && g_in.body.find("Fault") == std::string::npos) abort();
    if (g_in.live != 0) abort();

    if (r == 0 && kvdmc_parse_didl(result.str()) == 0) {
        check_json(kvdmc_last_json());
        for (int i = 0, n = kvdmc_item_count(); i < n; i++) check_json(kvdmc_item_json(i));
    }
    return 0;
}
