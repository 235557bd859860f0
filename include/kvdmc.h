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

/* Frame and reporting */
KVDMC_API const char *kvdmc_version(void);
KVDMC_API const char *kvdmc_last_error(void);
KVDMC_API int kvdmc_last_code(void);
KVDMC_API const char *kvdmc_last_json(void);
KVDMC_API int kvdmc_parse_ssdp(const char *packet);
KVDMC_API int kvdmc_config(const char *key, const char *value);
KVDMC_API const char *kvdmc_resolve_url(const char *base, const char *ref);

/* Discovery and the device table */
KVDMC_API int kvdmc_discover(int kind, int timeout_ms);
KVDMC_API int kvdmc_device_count(void);
KVDMC_API int kvdmc_find_device(const char *udn);
KVDMC_API int kvdmc_forget(const char *udn);
KVDMC_API void kvdmc_devices_clear(void);

/* Transport selection and the fake transport */
KVDMC_API int kvdmc_set_io(const quorlin_io *io);
KVDMC_API int kvdmc_use_curl(void);
KVDMC_API int kvdmc_use_fake(void);
KVDMC_API int kvdmc_fake_set(const char *url, int http_code, const char *body);
KVDMC_API int kvdmc_fake_fail(const char *url, const char *transport_error);
KVDMC_API unsigned kvdmc_fake_calls(const char *url);
KVDMC_API void kvdmc_fake_reset(void);
KVDMC_API int kvdmc_fake_ssdp(const char *packet, const char *from_ip);
KVDMC_API const char *kvdmc_fake_ssdp_sent(int i);

/* Browsing */
KVDMC_API int kvdmc_browse(const char *udn, const char *object_id, int start, int count, int flag);
KVDMC_API int kvdmc_item_count(void);
KVDMC_API int kvdmc_total_matches(void);
KVDMC_API int kvdmc_update_id(void);
KVDMC_API const char *kvdmc_best_res_url(int i);
KVDMC_API void kvdmc_cache_clear(void);
KVDMC_API const char *kvdmc_device_json(int i);
KVDMC_API const char *kvdmc_item_json(int i);
KVDMC_API int kvdmc_parse_description(const char *xml, const char *location);
KVDMC_API int kvdmc_parse_didl(const char *didl);

/* Casting */
KVDMC_API int kvdmc_cast_allow(const char *udn);
KVDMC_API void kvdmc_cast_clear(void);
KVDMC_API int kvdmc_cast_allowed(const char *udn);
KVDMC_API int kvdmc_cast_set_uri(const char *udn, const char *url, const char *mime, const char *title);
KVDMC_API int kvdmc_cast_play(const char *udn);
KVDMC_API int kvdmc_cast_pause(const char *udn);
KVDMC_API int kvdmc_cast_stop(const char *udn);
KVDMC_API int kvdmc_cast_seek(const char *udn, int seconds);
KVDMC_API int kvdmc_cast_state(const char *udn);
KVDMC_API int kvdmc_cast_position(const char *udn, int *pos_s, int *dur_s);
KVDMC_API int kvdmc_cast_volume(const char *udn, int set);
KVDMC_API int kvdmc_cast_mute(const char *udn, int set);
KVDMC_API int kvdmc_sink_check(const char *udn, const char *mime);

/* Plug-in tables */
KVDMC_API int kvdmc_kvffa_register(void);
KVDMC_API const kvrch_handler *kvrch_get(void);
KVDMC_API const kvrch_handler *kvdmc_kvrch(void);

#ifdef __cplusplus
}
#endif

#endif /* KVDMC_H */
