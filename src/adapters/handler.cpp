// The host's source handler for DLNA media servers. Every operation answers one compact
// JSON text in the host's buffer and returns a KVRCH_ code; a failure also records its
// text with the component's code for it as the last error and code.
#include "kvdmc.h"

#include <string.h>

#include <string>

#include "upnp/browse.h"
#include "upnp/items.h"
#include "base/exports.h"
#include "http/io.h"
#include "base/json_in.h"
#include "base/readers/textread.h"
#include "base/escape.h"
#include "base/sbuf.h"

namespace {

constexpr uint32_t HANDLER_CAPS = 0x23;

bool parse_object(rapidjson::Document &doc, const char *json) {
    return json_parse_strict(doc, json) && doc.IsObject();
}

// A non-empty string member, or null.
const rapidjson::Value *text_member(const rapidjson::Document &doc, const char *key) {
    if (!doc.IsObject() || !doc.HasMember(key)) return nullptr;
    const rapidjson::Value &v = doc[key];
    return v.IsString() && v.GetStringLength() > 0 ? &v : nullptr;
}

// The settings' UDN, kept to the length of a device key.
bool settings_udn(const rapidjson::Document &doc, std::string *udn) {
    const rapidjson::Value *v = text_member(doc, "UDN");
    if (!v) return false;
    udn->assign(v->GetString(), utf8_cut(v->GetString(), v->GetStringLength(), DEVICE_KEY_CAP - 1));
    return true;
}

// Copies an answer into the host's buffer when it fits with its terminator.
bool hand_over(const sbuf &answer, char *out, int cap) {
    if (!out || cap < 1) return false;
    if (answer.n + 1 > (size_t)cap) {
        out[0] = 0;
        return false;
    }
    memcpy(out, sb_str(&answer), answer.n + 1);
    return true;
}

// The handler's transport for the length of one call, on the calling thread only.
struct scoped_io {
    explicit scoped_io(const quorlin_io *io) { io_override(io); }
    ~scoped_io() { io_override_clear(); }
    scoped_io(const scoped_io &) = delete;
    scoped_io &operator=(const scoped_io &) = delete;
};

int h_validate(const quorlin_io *, const char *settings_json, char *out, int cap) {
    api_enter();
    rapidjson::Document doc;
    if (!parse_object(doc, settings_json)) {
        api_fail(KVDMC_E_ARG, "settings_json is not a JSON object");
        return KVRCH_E_CONFIG;
    }
    std::string udn;
    if (!settings_udn(doc, &udn)) {
        api_fail(KVDMC_E_ARG, "DLNA settings need UDN");
        return KVRCH_E_CONFIG;
    }
    sbuf_scoped answer;
    sb_puts(&answer, "{\"RuntimeType\":\"DLNA\",\"UDN\":");
    sb_json_str(&answer, udn.c_str());
    sb_putc(&answer, '}');
    if (answer.b.oom) return KVRCH_E_PROTOCOL;
    if (!out || cap <= 0) return KVRCH_OK;
    if (!hand_over(answer.b, out, cap)) {
        api_fail(KVDMC_E_CAP, "output buffer too small");
        return KVRCH_E_BUFFER;
    }
    return KVRCH_OK;
}

// The listing's entries, under the item lock. Server texts that are not UTF-8 come out as
// U+FFFD (the JSON writer's rule), and a size the server did not give is -1.
void entries_json(sbuf *b) {
    sb_putc(b, '[');
    const didl_table &t = g_items.items;
    for (int i = 0; i < t.size(); i++) {
        const didl_item &d = t[i];
        sb_puts(b, i ? ",{\"name\":" : "{\"name\":");
        sb_json_str(b, d.title);
        sb_puts(b, ",\"path\":");
        sb_json_str(b, d.id);
        sb_puts(b, d.is_folder ? ",\"folder\":true,\"size\":" : ",\"folder\":false,\"size\":");
        sb_i64(b, d.res_url[0] && d.res_size_given ? d.res_size : -1);
        sb_puts(b, ",\"backend_id\":");
        sb_json_str(b, d.id);
        sb_puts(b, ",\"locator\":");
        sb_json_str(b, d.res_url);
        sb_putc(b, '}');
    }
    sb_putc(b, ']');
}

int h_list(const quorlin_io *io, const char *settings_json, const char *folder_id, char *out, int cap) {
    api_enter();
    scoped_io transport(io);
    rapidjson::Document doc;
    std::string udn;
    if (!parse_object(doc, settings_json) || !settings_udn(doc, &udn)) {
        api_fail(KVDMC_E_ARG, "DLNA settings need UDN");
        return KVRCH_E_CONFIG;
    }
    std::string folder = "0";
    if (folder_id && folder_id[0])
        folder = folder_id;
    else if (const rapidjson::Value *v = text_member(doc, "ObjectID"))
        folder.assign(v->GetString(), v->GetStringLength());

    // The requests run unlocked; publishing and reading the listing are one step, so the
    // listing read is the one this call browsed.
    char err[ERR_CAP] = "";
    browse_pages pages;
    int r = browse_fetch(udn.c_str(), folder.c_str(), 0, 0, &pages, err, sizeof err);
    browse_serial_guard one_step;
    if (r == 0) r = browse_publish(pages, err, sizeof err);
    if (r < 0) {
        api_fail(r, "%s", err);
        switch (r) {
        case KVDMC_E_UNKNOWN:
            return KVRCH_E_NOTFOUND;
        case KVDMC_E_AUTH:
            return KVRCH_E_AUTH;
        case KVDMC_E_PARSE:
            return KVRCH_E_PROTOCOL;
        default:
            return KVRCH_E_NETWORK;
        }
    }
    // A listing cut short by the browse cap still counts, and says so as a browse does.
    if (pages.partial)
        api_fail(KVDMC_E_CAP, "%s", err);
    else
        api_ok(0);
    sbuf_scoped answer;
    {
        items_guard g;
        entries_json(&answer.b);
    }
    if (answer.b.oom) return KVRCH_E_PROTOCOL;
    if (!hand_over(answer.b, out, cap)) {
        // A first call without a buffer learns the size it needs.
        api_fail(KVDMC_E_CAP, "output buffer too small: need %u bytes", (unsigned)(answer.b.n + 1));
        return KVRCH_E_BUFFER;
    }
    return KVRCH_OK;
}

int h_stream_url(const quorlin_io *, const char *, const char *entry_json, char *out, int cap) {
    api_enter();
    rapidjson::Document doc;
    if (!parse_object(doc, entry_json)) {
        api_fail(KVDMC_E_ARG, "entry_json is not a JSON object");
        return KVRCH_E_CONFIG;
    }
    const rapidjson::Value *id = nullptr;
    for (const char *key : {"id", "backend_id", "path"})
        if (!id) id = text_member(doc, key);
    sbuf_scoped answer;
    bool found = false;
    if (id && id->GetStringLength() < ITEM_ID_CAP) {
        items_guard g;
        const didl_table &t = g_items.items;
        for (int i = 0; i < t.size() && !found; i++) {
            if (strcmp(t[i].id, id->GetString()) != 0) continue;
            found = t[i].res_url[0] != 0;
            if (found) {
                sb_puts(&answer, "{\"url\":");
                sb_json_str(&answer, t[i].res_url);
                sb_putc(&answer, '}');
            }
            break;
        }
    }
    if (!found) {
        api_fail(KVDMC_E_UNKNOWN, "entry id not in the last listing (browse first)");
        return KVRCH_E_NOTFOUND;
    }
    if (answer.b.oom) return KVRCH_E_PROTOCOL;
    if (!hand_over(answer.b, out, cap)) {
        api_fail(KVDMC_E_CAP, "output buffer too small");
        return KVRCH_E_BUFFER;
    }
    return KVRCH_OK;
}

int h_download(const quorlin_io *, const char *, const char *, char *, int) {
    api_enter();
    api_fail(KVDMC_E_ARG, "DLNA sources do not download");
    return KVRCH_E_NOTSUPPORTED;
}

constexpr kvrch_handler s_handler = {"DLNA", HANDLER_CAPS, h_validate, h_list, h_stream_url, h_download};

} // namespace

extern "C" {

KVDMC_API const kvrch_handler *kvrch_get(void) {
    return &s_handler;
}

KVDMC_API const kvrch_handler *kvdmc_kvrch(void) {
    return &s_handler;
}

} // extern "C"
