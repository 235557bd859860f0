/* kvdmc: DLNA/UPnP media client component. Flat C API for a host media player.
 *
 * Every function runs on the caller's thread. Texts returned by the component
 * are owned by it and stay valid until the next call on the same thread that
 * writes the same buffer; the host never frees them. Reporting state (last
 * error, last code, JSON texts) is kept per calling thread. */
#ifndef KVDMC_H
#define KVDMC_H

#include <stdint.h>

/* On Windows the component's own build exports the API (KVDMC_BUILDING) and a
 * host linking kvdmc.dll imports it; KVDMC_STATIC is for a host that compiles
 * the component's sources into itself. */
#if defined(_WIN32)
#if defined(KVDMC_BUILDING)
#define KVDMC_API __declspec(dllexport)
#elif defined(KVDMC_STATIC)
#define KVDMC_API
#else
#define KVDMC_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) && !defined(KVDMC_NO_VISIBILITY)
#define KVDMC_API __attribute__((visibility("default")))
#else
#define KVDMC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* HTTP transport supplied by the host. Bodies and error texts handed out by
 * http_get/http_post are released by the component through free_buf. */
typedef struct quorlin_io {
    void *ctx;
    int (*http_get)(void *ctx, const char *url, char **out_body, int *http_code, char **out_err);
    int (*http_post)(void *ctx, const char *url, const char *body, const char *ct, char **out_body,
                     int *http_code, char **out_err);
    void (*free_buf)(void *ctx, void *p);
} quorlin_io;

typedef struct kvrch_handler {
    const char *runtime_type;
    uint32_t caps;
    int (*validate)(const quorlin_io *io, const char *settings_json, char *out, int cap);
    int (*list)(const quorlin_io *io, const char *settings_json, const char *folder_id, char *out, int cap);
    int (*stream_url)(const quorlin_io *io, const char *settings_json, const char *entry_json, char *out,
                      int cap);
    int (*download)(const quorlin_io *io, const char *settings_json, const char *config_json, char *out,
                    int cap);
} kvrch_handler;

/* Failure codes of the kvdmc_ functions, also kept as kvdmc_last_code(). */
enum {
    KVDMC_E_ARG = -1,     /* null or invalid argument, index out of range, unusable packet */
    KVDMC_E_FAKE = -2,    /* live search refused while the fake transport is selected */
    KVDMC_E_NET = -3,     /* network or transport failure, HTTP error status */
    KVDMC_E_UNKNOWN = -4, /* unknown device, or no such object on the server */
    KVDMC_E_NOMEM = -5,   /* out of memory */
    KVDMC_E_UPNP = -6,    /* Browse failed, or the device answered with a UPnP fault */
    KVDMC_E_REFUSED = -7, /* the renderer is not on the cast allow-list */
    KVDMC_E_CAP = -8,     /* a capacity or limit was reached */
    KVDMC_E_PARSE = -9,   /* a device's answer could not be read */
    KVDMC_E_CONFIG = -10, /* bad configuration key or value */
    KVDMC_E_NOCURL = -11, /* built without the built-in HTTP transport */
    KVDMC_E_AUTH = -12    /* the device refused the request (HTTP 401/403) */
};

/* kvdmc_discover: which devices to search for. */
enum { KVDMC_KIND_SERVER = 1, KVDMC_KIND_RENDERER = 2, KVDMC_KIND_BOTH = 3 };

/* kvdmc_browse: the children of a container, or the object's own metadata. */
enum { KVDMC_BROWSE_CHILDREN = 0, KVDMC_BROWSE_METADATA = 1 };

/* kvdmc_cast_state: what the renderer is doing. */
enum { KVDMC_STATE_STOPPED = 0, KVDMC_STATE_PAUSED = 1, KVDMC_STATE_PLAYING = 2 };

/* kvdmc_cast_volume, kvdmc_cast_mute: read the current value instead of setting one. */
enum { KVDMC_VOLUME_READ = -1 };

enum {
    KVRCH_OK = 0,
    KVRCH_E_AUTH = -1,
    KVRCH_E_NOTFOUND = -2,
    KVRCH_E_RATE = -3,
    KVRCH_E_NETWORK = -4,
    KVRCH_E_PROTOCOL = -5,
    KVRCH_E_NOTSUPPORTED = -6,
    KVRCH_E_REFUSED_WRITE = -7,
    KVRCH_E_CONFIG = -8,
    KVRCH_E_BUFFER = -9
};

/* Each line below says what a function returns and writes. "Last error" is the calling
 * thread's kvdmc_last_error() text; "code" its kvdmc_last_code(). A text returned by the
 * component is owned by it: it stays valid until the calling thread's next call that writes
 * the same buffer (named per function), and the host never frees it. */

/* Frame and reporting */
/* "1.0.0"; a constant text. */
KVDMC_API const char *kvdmc_version(void);
/* The calling thread's last failure text ("" before any); valid until its next failure. */
KVDMC_API const char *kvdmc_last_error(void);
/* The calling thread's last recorded code (0 before any failure). */
KVDMC_API int kvdmc_last_code(void);
/* The calling thread's last JSON result (a DIDL parse, else the last small JSON); valid until
 * its next JSON-producing call. */
KVDMC_API const char *kvdmc_last_json(void);
/* Parses an SSDP reply or alive/byebye NOTIFY into JSON (read with kvdmc_last_json): 0, or -1
 * with the last error. Sends nothing. */
KVDMC_API int kvdmc_parse_ssdp(const char *packet);
/* Sets one configuration key (value NULL: its default; for a numeric key all numeric defaults):
 * 0, or KVDMC_E_CONFIG with the last error. Numbers outside a key's range are clamped. */
KVDMC_API int kvdmc_config(const char *key, const char *value);
/* base + ref as an absolute URL, in a per-thread buffer valid until the thread's next call of
 * this function; NULL with the last error (code KVDMC_E_ARG) when it cannot be resolved. */
KVDMC_API const char *kvdmc_resolve_url(const char *base, const char *ref);

/* Discovery and the device table */
/* Searches for kind (KVDMC_KIND_*) for timeout_ms (100..30000), blocking that long, and adds
 * every media server or renderer found: the number of devices in the table, or a negative
 * code (KVDMC_E_FAKE while the fake transport is selected) with the last error. */
KVDMC_API int kvdmc_discover(int kind, int timeout_ms);
/* Devices in the table after expired ones are dropped. */
KVDMC_API int kvdmc_device_count(void);
/* Table index of the device with this UDN or USN, or -1. */
KVDMC_API int kvdmc_find_device(const char *udn);
/* Removes the device: 0, or KVDMC_E_ARG / KVDMC_E_UNKNOWN with the last error. */
KVDMC_API int kvdmc_forget(const char *udn);
/* Empties the device table. */
KVDMC_API void kvdmc_devices_clear(void);

/* Transport selection and the fake transport */
/* Uses the host's transport (the record is copied; its ctx and functions must stay valid while
 * selected), or NULL for the built-in one: 0. */
KVDMC_API int kvdmc_set_io(const quorlin_io *io);
/* Selects the built-in HTTP transport: 0, or KVDMC_E_NOCURL when built without one. */
KVDMC_API int kvdmc_use_curl(void);
/* Selects the fake transport and turns live discovery off (devices then come only from
 * kvdmc_fake_ssdp) until the numeric configuration defaults are restored: 0. */
KVDMC_API int kvdmc_use_fake(void);
/* Fake answer for url (replaces an earlier one): 0, or KVDMC_E_ARG / KVDMC_E_NOMEM. */
KVDMC_API int kvdmc_fake_set(const char *url, int http_code, const char *body);
/* Fake transport failure for url with that text: 0, or KVDMC_E_ARG / KVDMC_E_NOMEM. */
KVDMC_API int kvdmc_fake_fail(const char *url, const char *transport_error);
/* Requests the fake answered for url; url NULL: all of them. */
KVDMC_API unsigned kvdmc_fake_calls(const char *url);
/* Forgets every fake answer and count; the selection and the device table stay. */
KVDMC_API void kvdmc_fake_reset(void);
/* Feeds a packet to discovery as if received (from_ip is not used): 0 (a byebye removes the
 * device), KVDMC_E_ARG for an unusable packet, KVDMC_E_PARSE when its description fails. */
KVDMC_API int kvdmc_fake_ssdp(const char *packet, const char *from_ip);
/* Packet i the component sent while faked, or NULL; valid until kvdmc_fake_reset. */
KVDMC_API const char *kvdmc_fake_ssdp_sent(int i);

/* Browsing */
/* Browses the server into the item table: flag KVDMC_BROWSE_CHILDREN lists the container's
 * children from start (every page, up to the configured cap; count is not used),
 * KVDMC_BROWSE_METADATA the object itself. The number of items, or -1 / KVDMC_E_UPNP with the
 * last error (and the precise code). */
KVDMC_API int kvdmc_browse(const char *udn, const char *object_id, int start, int count, int flag);
/* Items in the table from the last browse or DIDL parse. */
KVDMC_API int kvdmc_item_count(void);
/* TotalMatches of the last browse (-1 when unknown). */
KVDMC_API int kvdmc_total_matches(void);
/* UpdateID of the last browse. */
KVDMC_API int kvdmc_update_id(void);
/* Item i's chosen resource URL ("" when none or out of range), in a per-thread buffer valid
 * until the thread's next call of this function. */
KVDMC_API const char *kvdmc_best_res_url(int i);
/* Empties the browse cache. */
KVDMC_API void kvdmc_cache_clear(void);
/* Device i as JSON ("" with the last error and code KVDMC_E_ARG when out of range); valid
 * until the thread's next JSON-producing call. */
KVDMC_API const char *kvdmc_device_json(int i);
/* Item i as JSON ("" with the last error and code KVDMC_E_ARG when out of range); valid as
 * kvdmc_device_json. */
KVDMC_API const char *kvdmc_item_json(int i);
/* Parses a description (not added to the table) into JSON read with kvdmc_last_json: 0, or a
 * negative code with the last error. */
KVDMC_API int kvdmc_parse_description(const char *xml, const char *location);
/* Parses DIDL-Lite into the item table and all items as JSON (kvdmc_last_json): 0, or a
 * negative code with the last error. */
KVDMC_API int kvdmc_parse_didl(const char *didl);

/* Casting: actions that change a renderer need it on the allow-list; reads need it only in the
 * device table. Failures return a negative code with the last error. */
/* Allows the renderer: 0 (also when already allowed), KVDMC_E_ARG, or KVDMC_E_CAP when full. */
KVDMC_API int kvdmc_cast_allow(const char *udn);
/* Empties the allow-list. */
KVDMC_API void kvdmc_cast_clear(void);
/* 1 when the renderer is on the allow-list, else 0. */
KVDMC_API int kvdmc_cast_allowed(const char *udn);
/* Hands the renderer the media URL with DIDL-Lite metadata (mime NULL: video/mp4; title may be
 * NULL): 0 or a negative code. */
KVDMC_API int kvdmc_cast_set_uri(const char *udn, const char *url, const char *mime, const char *title);
/* Play, pause, stop: 0 or a negative code. */
KVDMC_API int kvdmc_cast_play(const char *udn);
KVDMC_API int kvdmc_cast_pause(const char *udn);
KVDMC_API int kvdmc_cast_stop(const char *udn);
/* Seeks to seconds from the start (0 or more): 0 or a negative code. */
KVDMC_API int kvdmc_cast_seek(const char *udn, int seconds);
/* KVDMC_STATE_STOPPED, _PAUSED or _PLAYING, or a negative code. */
KVDMC_API int kvdmc_cast_state(const char *udn);
/* Writes position and duration in whole seconds (0 first, also on failure): 0 or a negative
 * code. */
KVDMC_API int kvdmc_cast_position(const char *udn, int *pos_s, int *dur_s);
/* set KVDMC_VOLUME_READ (any negative value): the volume 0..100; set 0..100: sets it and
 * returns 0. A negative code on failure. */
KVDMC_API int kvdmc_cast_volume(const char *udn, int set);
/* set KVDMC_VOLUME_READ (any negative value): 1 when muted, else 0; set 0 or more: mutes
 * (non-zero) or unmutes and returns 0. A negative code on failure. */
KVDMC_API int kvdmc_cast_mute(const char *udn, int set);
/* 1 when the renderer's sink protocols list the MIME type, 0 when not, or a negative code. */
KVDMC_API int kvdmc_sink_check(const char *udn, const char *mime);

/* Plug-in tables */
/* Registers the DLNA backend with the file/folder access layer: 0 or a negative code. */
KVDMC_API int kvdmc_kvffa_register(void);
/* The source handler table; a constant that lives as long as the library. */
KVDMC_API const kvrch_handler *kvrch_get(void);
/* The same table under the component's prefix. */
KVDMC_API const kvrch_handler *kvdmc_kvrch(void);

#ifdef __cplusplus
}
#endif

#endif /* KVDMC_H */
