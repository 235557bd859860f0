// JSON views of items and devices, written straight into the text builder.
#include "upnp/browse.h"

#include <string.h>

#include "base/escape.h"
#include "base/exports.h"

void item_json(sbuf *b, const didl_item &it, int i) {
    sb_printf(b, "{\"i\":%d,\"id\":", i);
    sb_json_str_u(b, it.id);
    sb_puts(b, ",\"parent\":");
    sb_json_str_u(b, it.parent);
    sb_puts(b, ",\"title\":");
    sb_json_str_u(b, it.title);
    sb_puts(b, ",\"class\":");
    sb_json_str_u(b, it.klass);
    sb_printf(b, ",\"folder\":%s,\"childcount\":%d,\"date\":", it.is_folder ? "true" : "false",
              it.childcount);
    sb_json_str_u(b, it.date);
    if (it.res_url[0]) {
        sb_puts(b, ",\"res\":{\"url\":");
        sb_json_str_u(b, it.res_url);
        sb_puts(b, ",\"mime\":");
        sb_json_str_u(b, it.res_mime);
        sb_printf(b, ",\"size\":%lld", (long long)it.res_size);
        if (it.res_duration[0]) {
            sb_puts(b, ",\"duration\":");
            sb_json_str_u(b, it.res_duration);
        }
        if (it.res_resolution[0]) {
            sb_puts(b, ",\"resolution\":");
            sb_json_str_u(b, it.res_resolution);
        }
        sb_putc(b, '}');
    } else {
        sb_puts(b, ",\"res\":null");
    }
    if (it.nsub) {
        sb_puts(b, ",\"subs\":[");
        for (int k = 0; k < it.nsub; k++) {
            sb_puts(b, k ? ",{\"url\":" : "{\"url\":");
            sb_json_str_u(b, it.sub[k].url);
            sb_puts(b, ",\"mime\":");
            sb_json_str_u(b, it.sub[k].mime);
            sb_putc(b, '}');
        }
        sb_putc(b, ']');
    }
    sb_putc(b, '}');
}

void device_json_from(sbuf *b, const device_t *d) {
    // The device table's own clock, so the lifetime agrees with its expiry.
    int64_t now = (int64_t)dev_now();
    int64_t left = d->max_age_s <= 0 ? -1 : (int64_t)d->max_age_s * 1000 + (int64_t)d->added_ms - now;
    sb_puts(b, "{\"udn\":");
    sb_json_str_u(b, d->udn);
    sb_printf(b, ",\"kind\":%d,\"name\":", (int)d->kind);
    sb_json_str_u(b, d->friendly);
    sb_puts(b, ",\"manufacturer\":");
    sb_json_str_u(b, d->manufacturer);
    sb_puts(b, ",\"model\":");
    sb_json_str_u(b, d->model_name);
    sb_puts(b, ",\"location\":");
    sb_json_str_u(b, d->location);
    sb_puts(b, ",\"device_type\":");
    sb_json_str_u(b, d->device_type);
    sb_printf(b, ",\"expires_ms\":%lld,\"services\":[", (long long)left);
    int nsvc = d->nsvc < 0 ? 0 : d->nsvc > DEVICE_MAX_SVC ? DEVICE_MAX_SVC : d->nsvc;
    for (int k = 0; k < nsvc; k++) {
        sb_puts(b, k ? ",{\"type\":" : "{\"type\":");
        sb_json_str_u(b, d->svc[k].type);
        sb_puts(b, ",\"control\":");
        sb_json_str_u(b, d->svc[k].control);
        sb_putc(b, '}');
    }
    sb_puts(b, "]}");
}

void device_json(sbuf *b, int i) {
    device_json_from(b, &g_dev[i]);
}

namespace {

// Hands a built text out as the small JSON of this thread; "" when it did not fit in memory.
const char *hand_out_small(const sbuf_scoped &js, const char *who) {
    if (js.b.oom) {
        api_fail(KVDMC_E_NOMEM, "%s: out of memory", who);
        return "";
    }
    return put_small_json(js.str(), js.b.n);
}

} // namespace

extern "C" {

KVDMC_API const char *kvdmc_device_json(int i) {
    api_enter();
    sbuf_scoped js;
    {
        plat_guard g(&g_lock);
        if (i < 0 || i >= g_ndev) {
            api_fail(KVDMC_E_ARG, "device_json: index out of range");
            return "";
        }
        device_json(&js, i);
    }
    return hand_out_small(js, "device_json");
}

KVDMC_API const char *kvdmc_item_json(int i) {
    api_enter();
    sbuf_scoped js;
    {
        items_guard g;
        if (i < 0 || i >= g_items.items.size()) {
            api_fail(KVDMC_E_ARG, "item_json: index out of range");
            return "";
        }
        item_json(&js, g_items.items[i], i);
    }
    return hand_out_small(js, "item_json");
}

KVDMC_API int kvdmc_parse_description(const char *xml, const char *location) {
    api_enter();
    if (!xml || !location) return api_fail(KVDMC_E_ARG, "parse_description: null arg");
    device_t d;
    memset(&d, 0, sizeof d);
    char err[ERR_CAP] = "";
    if (desc_parse(xml, location, &d, err, sizeof err) != 0) {
        return api_fail(KVDMC_E_PARSE, "parse_description: %s", err);
    }
    sbuf_scoped js;
    device_json_from(&js, &d);
    if (js.b.oom) {
        return api_fail(KVDMC_E_NOMEM, "parse_description: out of memory");
    }
    {
        plat_guard g(&g_lock);
        set_small_json(js.str(), js.b.n);
    }
    return api_ok(0);
}

KVDMC_API int kvdmc_parse_didl(const char *didl) {
    api_enter();
    if (!didl) return api_fail(KVDMC_E_ARG, "parse_didl: null didl");
    // Parsed and written out without any lock; only putting the table in place takes one.
    item_result parsed;
    items_take_room(&parsed.items);
    char err[ERR_CAP] = "";
    int n = didl_parse(didl, &parsed.items, err, sizeof err);
    sbuf_scoped js;
    if (n >= 0) {
        sb_printf(&js, "{\"count\":%d,\"items\":[", n);
        for (int i = 0; i < n; i++) {
            if (i) sb_putc(&js, ',');
            item_json(&js, parsed.items[i], i);
        }
        sb_puts(&js, "]}");
    }
    {
        // Serialised with browses, so that one reading back what it browsed never reads this.
        browse_serial_guard one_step;
        items_publish(&parsed);
    }
    if (n < 0) return api_fail(KVDMC_E_PARSE, "parse_didl: %s", err);
    if (js.b.oom) return api_fail(KVDMC_E_NOMEM, "parse_didl: out of memory");
    set_result_json(js.str(), js.b.n);
    return api_ok(0);
}

} // extern "C"
