// Bounded XML pull reader: one document in memory, one event at a time.
#pragma once

#include <stddef.h>

#include "base/capacity.h"

struct sbuf;

enum { XML_EV_END_DOC = 0, XML_EV_START = 1, XML_EV_END = 2, XML_EV_TEXT = 3, XML_EV_ERROR = -1 };

// Why reading stopped (or could not start).
enum xml_status {
    XML_OK = 0,
    XML_E_SYNTAX,  // not well-formed where the reader stopped
    XML_E_REFUSED, // DOCTYPE, ENTITY or other declarations, a NUL byte, no document
    XML_E_LIMIT,   // larger or deeper than the reader accepts
    XML_E_NOMEM,   // the reader could not be allocated
};

// An attribute of the current start tag, valid until the next event. Neither text ends
// in a NUL: each is given by its length.
struct xml_attr_t {
    const char *name; // in the document; a name of more than XML_ATTR_NAME_CAP - 1 bytes is cut
    const char *val;  // in the document, or in buf when the value holds references
    unsigned short nlen;
    unsigned short vlen;        // at most XML_ATTR_VAL_CAP - 1 bytes
    unsigned char cut;          // 1 when the value did not fit and was cut
    char buf[XML_ATTR_VAL_CAP]; // a value with references, decoded
};

// The reader's state is its own: callers reach it through the functions below.
struct xmlrd;

// A reader over [s, s + n), or null with the reason in err and *st (when given).
xmlrd *xml_open(const char *s, size_t n, char *err, size_t errn, xml_status *st = nullptr);
// xml_open for a NUL-terminated text. Measuring it proves it holds no NUL,
// which spares the separate scan for one over a whole page.
xmlrd *xml_open_str(const char *s, char *err, size_t errn, xml_status *st = nullptr);
// xml_open for n bytes known to hold no NUL (a text this component decoded or wrote
// itself, whose length it kept): they are neither measured nor searched for one again.
xmlrd *xml_open_clean(const char *s, size_t n, char *err, size_t errn, xml_status *st = nullptr);
// After XML_EV_ERROR, the message is xml_error, its class xml_error_status and where
// xml_error_offset.
int xml_next(xmlrd *x, const char **name, size_t *namelen);
// xml_next that also gives xml_depth after the event, for a caller that needs it on
// every event.
int xml_next_at(xmlrd *x, const char **name, size_t *namelen, int *depth);
int xml_event(const xmlrd *x);
int xml_depth(const xmlrd *x);
// Why reading stopped: a message, its class, and the byte offset in the document of the
// markup that failed ("", XML_OK and 0 while reading goes well).
const char *xml_error(const xmlrd *x);
xml_status xml_error_status(const xmlrd *x);
size_t xml_error_offset(const xmlrd *x);
// The name of the current start or end tag as kept (cut to XML_NAME_CAP - 1 bytes), and
// its length in *len when given.
const char *xml_name(const xmlrd *x, size_t *len);
// The attributes of the current start tag (at most XML_MAX_ATTR, in document order), *n
// (xml_attr_count) of them; valid until the next event.
const xml_attr_t *xml_attrs(const xmlrd *x, int *n = nullptr);
int xml_attr_count(const xmlrd *x);
// The byte offset of the reader in the document.
size_t xml_offset(const xmlrd *x);
// For a caller that needs only the element structure: text, CDATA and attribute values
// are checked as always but not kept, so there are no text events and no attributes;
// start and end events, names, depth and failures are the same.
void xml_set_skim(xmlrd *x, bool on);
// For a caller to whom, from now on, the text up to the next tag is of no use: that text
// (and a CDATA section there) is passed over without an event. No text can fail, so the
// verdict on the document is the same. Set between events.
void xml_set_skip_text(xmlrd *x, bool on);
// The value of the named attribute of the current start tag as a C string, or null.
// A value read in place is copied to the attribute's buffer first.
const char *xml_attr(xmlrd *x, const char *name);
const char *xml_text(const xmlrd *x);
// Right after a start tag whose element holds only text and references up to its end
// tag, appends all of that text, decoded, to out in one step and leaves the end tag next:
// 1. 0 when the element holds more than that, or something the text events would refuse
// (nothing is consumed: the events deliver it); -1 when out ran out of memory.
int xml_take_text(xmlrd *x, sbuf *out);
// The same, but the text is decoded into the document itself, from its first byte on:
// doc is the document the reader was opened on, as writable memory of the caller's. What
// the reader has passed is overwritten, nothing ahead of it, so reading goes on as after
// xml_take_text; the start tag's attributes are gone with it. *len gets the text's length; no NUL is written.
// A text kept this way needs neither a buffer of its own nor a copy.
int xml_take_text_to_front(xmlrd *x, char *doc, size_t *len);
// Right after a start tag whose element holds nothing but text the events would not
// deliver (see xml_set_skip_text), passes over that text and the element's end tag as the events
// would, leaving the reader just after the end event, and returns 1. Returns 0, consuming
// nothing, when the element holds anything else or its end tag is not well-formed or
// names another element: the events then deliver what follows, failures included.
int xml_skip_leaf(xmlrd *x);
// Right after a start tag whose element holds nothing but text shorter than one text
// event up to its end tag, reads that text, decoded as a text event would give it (empty
// when there is none, in which case the events give no text event at all), and the end
// tag, leaving the reader just after the end event; returns 1. Returns 0, consuming
// nothing, in every other case, as xml_skip_leaf does. The text is *len bytes and need
// not end in a NUL: one without references is the document's own bytes. It stays valid
// until the next call on the reader.
int xml_leaf_text(xmlrd *x, const char **text, size_t *len);
void xml_close(xmlrd *x);

// The start tags in the n bytes at s whose local name (the name after its prefix, as
// the reader keeps it) is one of the count names given (eight at most). A scan, not a parse: markup
// that holds no elements (comments, CDATA sections, declarations, processing
// instructions) is stepped over, so for a well-formed document the count is exact, and
// whether it is well-formed is the reader's verdict. Reads no byte past s + n.
int xml_count_start_tags(const char *s, size_t n, const char *const *local_names, size_t count);
