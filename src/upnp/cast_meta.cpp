// Casting's metadata builder: the DIDL-Lite document of CurrentURIMetaData in each of
// its forms, describing the item a URL belongs to with the server's own protocolInfo
// (its format named as the renderer names it, the DLNA parameters added where none were
// given), or what the MIME type alone says.
#include "upnp/cast_int.h"

#include <string.h>

#include <string>

#include "base/capacity.h"
#include "base/config.h"
#include "base/escape.h"
#include "base/protocol.h"
#include "base/sbuf.h"
#include "base/text.h"
#include "upnp/items.h"

// The metadata document: title, MIME type and URL are escaped for it, and the whole
// document is escaped again as the SOAP argument, so after the renderer's one decode
// it is well-formed DIDL-Lite whose texts decode to the original ones.
static void didl_head(sbuf *b, const char *id, const char *parent) {
    sb_printf(b, "<DIDL-Lite xmlns=\"%s\" xmlns:dc=\"%s\" xmlns:upnp=\"%s\"><item id=\"", DIDL_NS, DC_NS,
              UPNP_NS);
    sb_xml(b, id);
    sb_puts(b, "\" parentID=\"");
    sb_xml(b, parent);
    sb_puts(b, "\" restricted=\"1\">");
}

static void didl_title(sbuf *b, const char *title) {
    if (!title || !*title) return;
    sb_puts(b, "<dc:title>");
    sb_xml(b, title);
    sb_puts(b, "</dc:title>");
}

// The fixed document: a video item whatever the media, http-get with the MIME type.
static void minimal_metadata(sbuf *b, const char *url, const char *mime, const char *title) {
    didl_head(b, "", "");
    didl_title(b, title);
    sb_puts(b, "<res protocolInfo=\"http-get:*:");
    sb_xml(b, mime);
    sb_puts(b, ":*\">");
    sb_xml(b, url);
    sb_puts(b, "</res><upnp:class>object.item.videoItem</upnp:class></item></DIDL-Lite>");
}

// What a cast URL is known as: the item of the item table whose resource it is, with
// the server's own protocolInfo (its DLNA profile and flags, which TVs decide playback
// and seeking on), or, for any other URL, what its MIME type says.
namespace {
struct cast_media {
    std::string id, parent, title, klass, protocol_info, size, duration, resolution;
};
} // namespace

// The class that describes media of a MIME type; never a profile nobody sent.
static const char *class_of_mime(const char *mime) {
    if (str_nieq(mime, "audio/", 6)) return "object.item.audioItem.musicTrack";
    if (str_nieq(mime, "image/", 6)) return "object.item.imageItem.photo";
    return "object.item.videoItem";
}

static bool media_of_item(const char *url, const char *host_url, cast_media *m) {
    items_guard g;
    const didl_table &t = g_items.items;
    for (int i = 0; i < t.size(); i++) {
        const didl_item &it = t[i];
        if (it.is_folder || !it.res_url[0] ||
            (strcmp(it.res_url, url) != 0 && strcmp(it.res_url, host_url) != 0))
            continue;
        m->id = it.id;
        m->parent = it.parent;
        m->title = it.title;
        m->klass = it.klass[0] ? it.klass : class_of_mime(it.res_mime);
        // A protocolInfo that reaches the item table's cut may have lost the end of its
        // flags: the renderer is told the transfer and format only, never a broken flag.
        size_t pi_n = strlen(it.res_protocol_info);
        m->protocol_info = pi_n + 4 < ITEM_PROTOCOL_INFO_CUT
                               ? std::string(it.res_protocol_info)
                               : std::string("http-get:*:") + it.res_mime + ":*";
        if (it.res_size_given && it.res_size >= 0) m->size = std::to_string(it.res_size);
        m->duration = it.res_duration;
        m->resolution = it.res_resolution;
        return true;
    }
    return false;
}

// A protocolInfo with its content format (third field) replaced.
static std::string with_format(const std::string &pi, const std::string &format) {
    size_t c1 = pi.find(':'), c2 = c1 == std::string::npos ? c1 : pi.find(':', c1 + 1);
    if (c2 == std::string::npos) return pi;
    size_t c3 = pi.find(':', c2 + 1);
    return pi.substr(0, c2 + 1) + format + (c3 == std::string::npos ? "" : pi.substr(c3));
}

static std::string format_of(const std::string &pi) {
    size_t c1 = pi.find(':'), c2 = c1 == std::string::npos ? c1 : pi.find(':', c1 + 1);
    if (c2 == std::string::npos) return "";
    return pi.substr(c2 + 1, pi.find(':', c2 + 1) - c2 - 1);
}

// TVs seek only when the res says the server serves byte ranges: a protocolInfo whose
// fourth field carries no DLNA parameter at all gets the usual streaming ones. A
// server's own parameters are left as they are, and no profile is ever made up.
static std::string with_dlna_params(const std::string &pi) {
    static const char PARAMS[] =
        "DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000";
    size_t c1 = pi.find(':'), c2 = c1 == std::string::npos ? c1 : pi.find(':', c1 + 1);
    size_t c3 = c2 == std::string::npos ? c2 : pi.find(':', c2 + 1);
    if (c3 == std::string::npos || pi.compare(0, c1, "http-get") != 0) return pi;
    std::string info = pi.substr(c3 + 1);
    if (info.find("DLNA.ORG_") != std::string::npos) return pi;
    if (info.empty() || info == "*") return pi.substr(0, c3 + 1) + PARAMS;
    return pi + ";" + PARAMS;
}

static void attr(sbuf *b, const char *name, const std::string &v) {
    if (v.empty()) return;
    sb_printf(b, " %s=\"", name);
    sb_xml(b, v.c_str());
    sb_putc(b, '"');
}

// The document that describes the media: the item it is, or a class and protocolInfo
// from its MIME type. The format in the protocolInfo is named as the renderer names it
// when an earlier Sink check told.
static void item_metadata(sbuf *b, const char *key, const char *url, const char *host_url, const char *mime,
                          const char *title) {
    cast_media m;
    if (!media_of_item(url, host_url, &m)) {
        m.klass = class_of_mime(mime);
        m.protocol_info = std::string("http-get:*:") + mime + ":*";
    }
    std::string format = format_of(m.protocol_info);
    if (!format.empty()) {
        std::string named = renderer_name_for(key, format.c_str());
        if (named != format) m.protocol_info = with_format(m.protocol_info, named);
    }
    if (cfg_read(g_cfg.cast_dlna_flags)) m.protocol_info = with_dlna_params(m.protocol_info);
    didl_head(b, m.id.c_str(), m.parent.c_str());
    didl_title(b, title && *title ? title : m.title.c_str());
    sb_puts(b, "<upnp:class>");
    sb_xml(b, m.klass.c_str());
    sb_puts(b, "</upnp:class><res");
    attr(b, "protocolInfo", m.protocol_info);
    attr(b, "size", m.size);
    attr(b, "duration", m.duration);
    attr(b, "resolution", m.resolution);
    sb_putc(b, '>');
    sb_xml(b, url);
    sb_puts(b, "</res></item></DIDL-Lite>");
}

void build_metadata(sbuf *b, int form, const char *key, const cast_texts &t) {
    switch (form) {
    case CAST_META_MINIMAL:
        minimal_metadata(b, t.url, t.mime, t.title);
        break;
    case CAST_META_NONE:
        break;
    default:
        item_metadata(b, key, t.url, t.host_url, t.mime, t.title);
    }
}
