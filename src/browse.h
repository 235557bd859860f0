// SOAP action client, DIDL-Lite item table, Browse and the JSON views.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "discover.h"
#include "util.h"

// ---------------------------------------------------------------- SOAP action client

// First service whose type ends with svc_frag; copies its control URL.
int cast_service_url(const device_t *d, const char *svc_frag, char *out, size_t n);

// One output argument of a UPnP action. Returns 0, -1 or 2 (no response element).
int soap_action_arg(const device_t *d, const char *svc_frag, const char *action, const char *args,
                    const char *want, char *out, size_t outn, int *upnp_code, char *err, size_t errn);

// Several output arguments of one action from one request.
struct soap_out {
    const char *name; // local name of the output argument
    char *buf;        // receives its text, cut to cap - 1 bytes (unless sb is given)
    size_t cap;
    sbuf *sb;  // when non-null, receives the whole text instead of buf
    int found; // set to 1 when the argument was present
};
int soap_action_args(const device_t *d, const char *svc_frag, const char *action, const char *args,
                     soap_out *outs, int nout, int *upnp_code, char *err, size_t errn);

// soap_action_args that also tells (*too_large = 1) when the response body was
// refused for its size, so a pager can ask for less.
int soap_call(const device_t *d, const char *svc_frag, const char *action, const char *args, soap_out *outs,
              int nout, int *upnp_code, int *too_large, char *err, size_t errn);

// ---------------------------------------------------------------- DIDL-Lite items

constexpr int ITEM_MAX = 4096;
constexpr int ITEM_MAX_SUB = 8;

struct didl_sub {
    char url[1024];
    char mime[128];
};

struct didl_item {
    char id[80];
    char parent[80];
    char title[256];
    char klass[96];
    int is_folder;
    int childcount;
    char date[32];
    char res_url[1024];
    char res_mime[128];
    char res_protocol[64];
    int64_t res_size; // -1 while no resource is chosen
    char res_duration[32];
    char res_resolution[32];
    char res_protocol_info[256];
    didl_sub sub[ITEM_MAX_SUB];
    int nsub;
};

// The item table and its companions; guarded by g_lock.
extern didl_item g_item[ITEM_MAX];
extern int g_nitem;
extern int g_total_matches;
extern int g_update_id;
extern int g_partial;

void reset_items(void);
// Resets the table and parses didl into it: g_nitem, or -1 with a message.
int didl_parse(const char *didl, char *err, size_t errn);
// The same without the reset: appends the objects (later pages of a browse).
int didl_parse_more(const char *didl, char *err, size_t errn);
void split_protocol_info(const char *pi, char *proto, size_t pn, char *mime, size_t mn);
int class_kind(const char *cls);

// ---------------------------------------------------------------- Browse

// flag 1: the object's own metadata; otherwise its children from start.
// Returns g_nitem or -1 with a message; records the last code.
int browse_invoke(const char *udn, const char *object_id, int start, int count, int flag, char *err,
                  size_t errn);
void browse_cache_clear(void);
// Whole browses (and whole table refills) are serialised with this lock. It is
// taken before g_lock, never while holding it.
void browse_serial_lock(void);
void browse_serial_unlock(void);

// ---------------------------------------------------------------- JSON views (caller holds g_lock)

void item_json(sbuf *b, int i);
void device_json_from(sbuf *b, const device_t *d);
void device_json(sbuf *b, int i);
