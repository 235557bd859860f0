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

struct xmlrd {
    const char *begin; // the document
    const char *p;     // the cursor
    const char *end;
    int depth;
    char err[XML_ERR_CAP]; // after XML_EV_ERROR: what went wrong,
    xml_status status;     // its class,
    size_t err_at;         // and the byte offset in the document of the markup that failed
    int ev;
    char name[XML_NAME_CAP];
    size_t namelen; // strlen(name)
    char text[XML_TEXT_CAP];
    xml_attr_t attr[XML_MAX_ATTR];
    int nattr;
    // End of a CDATA section whose content did not fit one text event; its
    // remainder comes as further raw text events. Null otherwise.
    const char *cdata_end;
    // Set by a caller that needs only the element structure: text, CDATA and attribute
    // values are checked as always but not kept, so there are no text events and no
    // attributes; start and end events, names, depth and failures are the same.
    bool skim;
    // Set by a caller, between events, to whom the text up to the next tag is of no use:
    // that text (and a CDATA section there) is passed over without an event. No text can
    // fail, so the verdict on the document is the same.
    bool skip_text;
};

// A reader over [s, s + n), or null with the reason in err and *st (when given).
xmlrd *xml_open(const char *s, size_t n, char *err, size_t errn, xml_status *st = nullptr);
// xml_open for a NUL-terminated text. Measuring it proves it holds no NUL,
// which spares the separate scan for one over a whole page.
xmlrd *xml_open_str(const char *s, char *err, size_t errn, xml_status *st = nullptr);
// xml_open for n bytes known to hold no NUL (a text this component decoded or wrote
// itself, whose length it kept): they are neither measured nor searched for one again.
xmlrd *xml_open_clean(const char *s, size_t n, char *err, size_t errn, xml_status *st = nullptr);
// After XML_EV_ERROR, the message is in x->err, its class in x->status and where
// in x->err_at.
int xml_next(xmlrd *x, const char **name, size_t *namelen);
int xml_event(const xmlrd *x);
int xml_depth(const xmlrd *x);
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
// deliver (see skip_text), passes over that text and the element's end tag as the events
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
