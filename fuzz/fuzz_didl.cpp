// DIDL-Lite from a media server or the host: the item table and every JSON text built from it.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <rapidjson/document.h>

#include "upnp/items.h"
#include "kvdmc.h"

namespace {

// URLs handed out are plain printable ASCII: nothing a host or renderer could read otherwise.
void check_url(const char *u) {
    for (; *u; u++)
        if ((unsigned char)*u <= 0x20 || (unsigned char)*u >= 0x7F) abort();
}

void check_json(const char *s) {
    rapidjson::Document d;
    d.Parse<rapidjson::kParseValidateEncodingFlag>(s); // strict: one value of valid UTF-8, nothing after it
    if (d.HasParseError() || !d.IsObject()) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string doc((const char *)data, size);
    int r = kvdmc_parse_didl(doc.c_str());
    if (r != 0 && r != -9) abort();
    int n = kvdmc_item_count();
    if (n < 0 || n > ITEM_MAX) abort();
    if (r == 0) {
        check_json(kvdmc_last_json());
        rapidjson::Document d;
        d.Parse<rapidjson::kParseValidateEncodingFlag>(kvdmc_last_json());
        if (!d["count"].IsInt() || d["count"].GetInt() != n || (int)d["items"].Size() != n) abort();
    }
    for (int i = 0; i < n; i++) {
        const didl_item &it = g_items.items[i];
        if (it.nsub < 0 || it.nsub > ITEM_MAX_SUB) abort(); // a server may declare any size, negative too
        check_url(it.res_url);
        for (int k = 0; k < it.nsub; k++) check_url(it.sub[k].url);
        check_json(kvdmc_item_json(i));
    }
    // Paging trusts the tag scan's count of a page the parse accepts.
    char err[256];
    int objects = -1;
    didl_table t;
    int parsed = didl_parse_more(doc.c_str(), &t, &objects, err, sizeof err);
    if (parsed >= 0 && didl_count_objects(doc.c_str(), err, sizeof err) != objects) abort();
    // A page whose length the decoder kept reads as one measured again.
    size_t len = strlen(doc.c_str());
    int objects_n = -1;
    t.clear();
    if (didl_parse_more_n(doc.c_str(), len, &t, &objects_n, err, sizeof err) != parsed ||
        objects_n != objects)
        abort();
    if (parsed >= 0 && didl_count_objects_n(doc.c_str(), len, err, sizeof err) != objects) abort();
    // The ids that tell a repeated page: one line each, never more than asked, and none
    // beyond the objects of a page the parse accepts.
    char ids[BROWSE_REPEAT_IDS_CAP];
    int nids = didl_first_ids(doc.c_str(), len, BROWSE_REPEAT_IDS, ids, sizeof ids);
    int lines = 0;
    for (const char *p = ids; *p; p++) lines += *p == '\n';
    if (nids < 0 || nids > BROWSE_REPEAT_IDS || lines != nids || !memchr(ids, 0, sizeof ids)) abort();
    if (parsed >= 0 && nids > objects) abort();
    return 0;
}
