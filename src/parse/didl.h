// DIDL-Lite parser and the item table it fills.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/capacity.h"

struct didl_sub {
    char url[ITEM_URL_CAP];
    char mime[ITEM_MIME_CAP];
};

struct didl_item {
    char id[ITEM_ID_CAP];
    char parent[ITEM_ID_CAP];
    char title[ITEM_TITLE_CAP];
    char klass[ITEM_CLASS_CAP];
    int is_folder;
    int childcount;
    char date[ITEM_DATE_CAP];
    char res_url[ITEM_URL_CAP];
    char res_mime[ITEM_MIME_CAP];
    char res_protocol[ITEM_PROTOCOL_CAP];
    int64_t res_size;    // -1 while no resource is chosen; 0 when its size is not given
    bool res_size_given; // the chosen resource has a size attribute
    char res_duration[ITEM_RES_ATTR_CAP];
    char res_resolution[ITEM_RES_ATTR_CAP];
    char res_protocol_info[ITEM_PROTOCOL_INFO_CAP];
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
// The same without the reset: appends the objects (later pages of a browse). *objects
// gets the number of objects the page held, those not taken (over the cap, cut ids) too.
int didl_parse_more(const char *didl, int *objects, char *err, size_t errn);
// The objects a page holds, counted by a scan of its start tags without touching the
// item table: exact for a well-formed page. -1 with a message only for text before any
// element; whether the page is well-formed is the parse's verdict.
int didl_count_objects(const char *didl, char *err, size_t errn);
// The same two for a text of len bytes that holds no NUL (one this component decoded and
// measured): it is not measured again.
int didl_parse_more_n(const char *didl, size_t len, int *objects, char *err, size_t errn);
int didl_count_objects_n(const char *didl, size_t len, char *err, size_t errn);
// The ids of the first objects of a page (at most max, in document order, '\n' after
// each) into out: what tells a page from a repeat of another. The number of ids read;
// a page the reader refuses gives those before the fault.
int didl_first_ids(const char *didl, size_t len, int max, char *out, size_t outn);
void split_protocol_info(const char *pi, char *proto, size_t pn, char *mime, size_t mn);
