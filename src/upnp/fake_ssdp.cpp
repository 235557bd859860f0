// The fake transport's discovery half: fake mode, and injected packets that reach the
// device table as received ones would.
#include <string.h>

#include "base/exports.h"
#include "http/io.h"
#include "http/io_fake.h"
#include "upnp/discover.h"

// Fake mode is both halves: the canned HTTP answers, and discovery fed only by
// injected packets.
extern "C" KVDMC_API int kvdmc_use_fake(void) {
    api_enter();
    io_select_static(io_fake());
    plat_guard g(&g_lock);
    discover_fake_mode(true);
    return 0;
}

extern "C" KVDMC_API int kvdmc_fake_ssdp(const char *packet, const char *) {
    api_enter();
    if (!packet) return api_fail(KVDMC_E_ARG, "fake_ssdp: null packet");
    ssdp_reply r;
    int kind = ssdp_parse_packet(packet, strlen(packet), &r);
    if (kind <= 0) return api_fail(KVDMC_E_ARG, "fake_ssdp: not a reply or alive NOTIFY (%d)", kind);
    if (kind == SSDP_BYEBYE) {
        char key[DEVICE_KEY_CAP];
        udn_key_of(r.usn[0] ? r.usn : r.st, key);
        plat_guard g(&g_lock);
        if (device_t *d = device_announced(key)) device_remove((int)(d - g_dev));
        return 0;
    }
    char err[ERR_CAP] = "";
    int rc = devices_add_from_reply(&r, err, sizeof err);
    if (rc != 0) return api_fail(KVDMC_E_PARSE, "%s", err);
    return 0;
}
