// DIDL-Lite parser and the table of items it fills.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <vector>

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

// The objects of one result in document order, owned by whoever parses it. Room is taken a
// block of records at a time as objects arrive: a record is about 13 KB, a result may hold
// ITEM_MAX of them, and most hold a few hundred at most.
class didl_table {
  public:
    int size() const { return n_; }
    // Records the table has room for without allocating.
    int room() const { return (int)blocks_.size() * BLOCK; }
    didl_item &operator[](int i) { return blocks_[(size_t)(i / BLOCK)][i % BLOCK]; }
    const didl_item &operator[](int i) const { return blocks_[(size_t)(i / BLOCK)][i % BLOCK]; }
    // A new last record, its fields not set; null when the table holds ITEM_MAX.
    didl_item *append();
    // Keeps the first n records.
    void truncate(int n) {
        if (n >= 0 && n < n_) n_ = n;
    }
    // No records and not partial; the room stays for the next result.
    void clear() {
        n_ = 0;
        partial = 0;
    }
    int partial = 0; // 1 when objects past the cap were left out

  private:
    static constexpr int BLOCK = 16;
    std::vector<std::unique_ptr<didl_item[]>> blocks_;
    int n_ = 0;
};

// Empties t and parses didl into it: the number of records, or -1 with a message (t then
// holds the records read before the failure).
int didl_parse(const char *didl, didl_table *t, char *err, size_t errn);
// The same without emptying t: appends the objects (later pages of a browse). *objects
// gets the number of objects the page held, those not taken (over the cap, cut ids) too.
int didl_parse_more(const char *didl, didl_table *t, int *objects, char *err, size_t errn);
// The objects a page holds, counted by a scan of its start tags without parsing it:
// exact for a well-formed page. -1 with a message only for text before any
// element; whether the page is well-formed is the parse's verdict.
int didl_count_objects(const char *didl, char *err, size_t errn);
// The same two for a text of len bytes that holds no NUL (one this component decoded and
// measured): it is not measured again.
int didl_parse_more_n(const char *didl, size_t len, didl_table *t, int *objects, char *err, size_t errn);
int didl_count_objects_n(const char *didl, size_t len, char *err, size_t errn);
// The ids of the first objects of a page (at most max, in document order, '\n' after
// each) into out: what tells a page from a repeat of another. The number of ids read;
// a page the reader refuses gives those before the fault.
int didl_first_ids(const char *didl, size_t len, int max, char *out, size_t outn);
void split_protocol_info(const char *pi, char *proto, size_t pn, char *mime, size_t mn);
