// Service descriptions of renderers, fetched through the current transport.
#include "upnp/service_desc.h"

#include <string.h>

#include "base/config.h"
#include "base/exports.h"
#include "http/io.h"
#include "parse/scpd.h"

namespace {

// Beyond any volume scale a device uses: such a range is no scale at all.
constexpr int64_t VOLUME_BOUND = 1000000;

// The SCPD of the device's service whose type ends with frag, into sc. False when the
// device lists none, or it cannot be fetched or read.
bool read_scpd(const device_t *d, const char *frag, const char *var, scpd_var *sc) {
    const device_service *svc = nullptr;
    size_t fl = strlen(frag);
    for (int i = 0; i < d->nsvc && !svc; i++) {
        size_t tl = strlen(d->svc[i].type);
        if (tl >= fl && strcmp(d->svc[i].type + tl - fl, frag) == 0) svc = &d->svc[i];
    }
    if (!svc || !svc->scpd[0]) return false;
    char url[URL_RESOLVED_CAP];
    if (url_resolve(d->base[0] ? d->base : d->location, svc->scpd, url, sizeof url)) return false;
    // Only from the device's own host, as its control URLs: a description must not make
    // the library fetch from anywhere else.
    if (!url_same_host(url, d->location)) return false;
    const quorlin_io *io = io_current();
    if (!io || !io->http_get) return false;
    char *body = nullptr, *terr = nullptr;
    int code = 0;
    int rc = io->http_get(io->ctx, url, &body, &code, &terr);
    io_release(io, terr);
    bool ok = false;
    if (rc == 0 && body && (code == 0 || code / 100 == 2)) {
        size_t len = strlen(body);
        char err[ERR_CAP];
        ok = len <= (size_t)cfg_read(g_cfg.desc_max_bytes) &&
             scpd_variable(body, len, var, sc, err, sizeof err) == 1;
    }
    io_release(io, body);
    return ok;
}

// Stores what was learned in the device's row too, unless it was read again meanwhile.
void keep(const device_t *d, void (*put)(device_learned *to, const device_learned &from)) {
    plat_guard g(&g_lock);
    device_t *row = device_find(d->udn_key);
    if (row && strcmp(row->location, d->location) == 0) put(&row->learned, d->learned);
}

} // namespace

void service_desc_avt(device_t *d, const char *frag) {
    if (d->learned.avt_scpd) return;
    scpd_var v;
    uint8_t modes = 0;
    if (read_scpd(d, frag, "A_ARG_TYPE_SeekMode", &v) && v.nvalues > 0)
        modes = (scpd_allows(v, "REL_TIME") ? SEEK_REL_TIME : 0) |
                (scpd_allows(v, "ABS_TIME") ? SEEK_ABS_TIME : 0);
    d->learned.avt_scpd = modes ? 1 : -1;
    d->learned.seek_modes = modes;
    keep(d, [](device_learned *to, const device_learned &from) {
        to->avt_scpd = from.avt_scpd;
        to->seek_modes = from.seek_modes;
    });
}

void service_desc_rc(device_t *d, const char *frag) {
    if (d->learned.rc_scpd) return;
    scpd_var v;
    bool ranged = read_scpd(d, frag, "Volume", &v) && v.has_min && v.has_max && v.min < v.max &&
                  v.min >= -VOLUME_BOUND && v.max <= VOLUME_BOUND && !(v.min == 0 && v.max == 100);
    d->learned.rc_scpd = ranged ? 1 : -1;
    d->learned.vol_range = ranged;
    d->learned.vol_min = ranged ? (int32_t)v.min : 0;
    d->learned.vol_max = ranged ? (int32_t)v.max : 0;
    keep(d, [](device_learned *to, const device_learned &from) {
        to->rc_scpd = from.rc_scpd;
        to->vol_range = from.vol_range;
        to->vol_min = from.vol_min;
        to->vol_max = from.vol_max;
    });
}
