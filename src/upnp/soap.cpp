// SOAP 1.1 action client: one POST per action, output arguments and UPnP faults read in one pass.
#include "upnp/soap.h"

#include <limits.h>
#include <string.h>

#include "base/exports.h"
#include "http/io.h"
#include "http/io_http.h"
#include "base/protocol.h"
#include "base/readers/textread.h"
#include "base/text.h"
#include "parse/xml.h"

int soap_service_url(const device_t *d, const char *svc_frag, char *out, size_t n) {
    if (!d || !svc_frag) return -1;
    size_t fl = strlen(svc_frag);
    int nsvc = d->nsvc < 0 ? 0 : d->nsvc > DEVICE_MAX_SVC ? DEVICE_MAX_SVC : d->nsvc;
    for (int i = 0; i < nsvc; i++) {
        const char *t = d->svc[i].type;
        size_t tl = strnlen(t, sizeof d->svc[i].type);
        if (tl >= fl && memcmp(t + tl - fl, svc_frag, fl) == 0) {
            str_copyn(out, n, d->svc[i].control, strnlen(d->svc[i].control, sizeof d->svc[i].control));
            return 0;
        }
    }
    return -1;
}

void soap_pick_version(const device_t *d, const char *kind, int max_version, int fallback, char *frag,
                       size_t n) {
    char url[8];
    for (int v = 1; v <= max_version; v++) {
        str_fmt(frag, n, "%s:%d", kind, v);
        if (soap_service_url(d, frag, url, sizeof url) == 0) return;
    }
    str_fmt(frag, n, "%s:%d", kind, fallback);
}

namespace {

enum field_state { F_IDLE, F_DETAIL, F_CODE, F_ARG };

// Local name of a qualified name: what follows the first ':'.
const char *local_name(const char *q, char *buf, size_t cap) {
    const char *c = strchr(q, ':');
    str_copy(buf, cap, c ? c + 1 : q);
    return buf;
}

struct soap_reader {
    soap_out *outs;
    int nout;
    char resp_name[SOAP_NAME_CAP];
    char code[SOAP_FAULT_CODE_CAP] = "";
    char desc[SOAP_FAULT_DESC_CAP] = "";
    bool fault = false;
    bool in_desc = false;
    field_state fs = F_IDLE;
    int arg = -1; // index into outs while fs is F_ARG
    int resp_depth = -1;
    bool seen_resp = false;
    int oom_arg = -1; // the argument whose accumulator ran out of memory
    // The response body, when the transport hands out heap buffers and the reader may
    // write into it: the first argument gathered whole is decoded to the body's front
    // (front_arg, front_n bytes) and the body becomes that argument's buffer at the end.
    char *front = nullptr;
    int front_arg = -1;
    size_t front_n = 0;

    // When argument a's text is at the body's front, that text goes to its accumulator
    // (before any more of it), and the front is not used again.
    void leave_front(int a) {
        if (front_arg != a) return;
        sb_putn(outs[a].sb, front, front_n);
        if (outs[a].sb->oom && oom_arg < 0) oom_arg = a;
        front = nullptr;
        front_arg = -1;
    }

    // Right after an argument's start tag: its text in one step when it is text alone.
    void take_whole(xmlrd *x) {
        sbuf *sb = outs[arg].sb;
        leave_front(arg);
        size_t n;
        if (front && front_arg < 0 && sb->n == 0 && sb->limit == 0) {
            if (xml_take_text_to_front(x, front, &n) > 0) {
                front_arg = arg;
                front_n = n;
            }
            return;
        }
        if (xml_take_text(x, sb) < 0 && oom_arg < 0) oom_arg = arg;
    }

    void append(const char *t, size_t len) {
        soap_out &o = outs[arg];
        if (o.sb) {
            leave_front(arg);
            sb_putn(o.sb, t, len);
            if (o.sb->oom && oom_arg < 0) oom_arg = arg;
            return;
        }
        if (!o.buf || o.cap == 0) return;
        size_t have = strnlen(o.buf, o.cap - 1);
        size_t room = o.cap - 1 - have;
        if (len > room) len = room;
        memcpy(o.buf + have, t, len);
        o.buf[have + len] = 0;
    }

    void start(const char *l, int d) {
        if (strcmp(l, "Fault") == 0) {
            fault = true;
        } else if (fault && strcmp(l, "UPnPError") == 0) {
            fs = F_DETAIL;
        } else if (fault && fs == F_DETAIL && strcmp(l, "errorCode") == 0) {
            fs = F_CODE;
        } else if (fault && fs == F_DETAIL && strcmp(l, "errorDescription") == 0) {
            in_desc = true;
        } else if (strcmp(l, resp_name) == 0) {
            seen_resp = true;
            resp_depth = d;
        } else if (resp_depth > 0 && d == resp_depth + 1) {
            for (int k = 0; k < nout; k++) {
                if (outs[k].name && strcmp(l, outs[k].name) == 0) {
                    fs = F_ARG;
                    arg = k;
                    outs[k].found = 1;
                    break;
                }
            }
        }
    }

    void text(const char *t, size_t len) {
        if (fs == F_CODE)
            str_copyn(code, sizeof code, t, len);
        else if (in_desc)
            str_copyn(desc, SOAP_FAULT_DESC_CUT + 1, t, len);
        else if (fs == F_ARG)
            append(t, len);
    }

    void end(const char *l) {
        if (strcmp(l, resp_name) == 0) {
            resp_depth = -1;
            return;
        }
        if (fs == F_ARG) {
            if (strcmp(l, outs[arg].name) == 0) {
                fs = F_IDLE;
                return;
            }
            if (strcmp(l, "UPnPError") == 0) {
                in_desc = false;
                return;
            }
        } else if (strcmp(l, "UPnPError") == 0) {
            in_desc = false;
            if (fs == F_DETAIL) fs = F_IDLE;
            return;
        } else if (strcmp(l, "errorCode") == 0 && fs == F_CODE) {
            fs = F_DETAIL;
            return;
        } else if (strcmp(l, "errorDescription") == 0) {
            in_desc = false;
            return;
        }
        if (strcmp(l, "Fault") == 0) {
            fault = false;
            in_desc = false;
            fs = F_IDLE;
        }
    }
};

// Reads a response body. Returns the failure code when the reader refused it (message
// in err), else 0 with the gathered state in rd. With owner (the body's holder, when the
// body is a heap buffer the component may keep), the first argument gathered whole is
// decoded to the body's front and takes the body over: *owner is then cleared.
int read_response(const char *body, soap_reader &rd, int *too_large, char *err, size_t errn,
                  char **owner = nullptr) {
    rd.front = owner ? *owner : nullptr;
    xml_status st;
    // Measured by the reader itself: that one pass also proves the body holds no NUL.
    xmlrd *x = xml_open_str(body, err, errn, &st);
    if (!x) {
        if (too_large && st == XML_E_LIMIT) *too_large = 1;
        return st == XML_E_NOMEM ? KVDMC_E_NOMEM : KVDMC_E_PARSE;
    }
    const char *nm;
    size_t nl;
    char lbuf[XML_NAME_CAP];
    int ev;
    // A reader error only ends the reading; what was gathered decides.
    while ((ev = xml_next(x, &nm, &nl)) > 0) {
        if (ev == XML_EV_START) {
            rd.start(local_name(nm, lbuf, sizeof lbuf), xml_depth(x));
            // An argument gathered whole (a Browse Result: one long escaped text) is
            // decoded in one pass straight into its buffer rather than event by event.
            if (rd.fs == F_ARG && rd.outs[rd.arg].sb) rd.take_whole(x);
        } else if (ev == XML_EV_END)
            rd.end(local_name(nm, lbuf, sizeof lbuf));
        else
            rd.text(nm, nl);
    }
    xml_close(x);
    if (rd.front_arg >= 0) {
        sbuf *sb = rd.outs[rd.front_arg].sb;
        // Only an accumulator that is still empty (no other argument writes to it) takes
        // the body over.
        if (sb->n == 0) {
            rd.front[rd.front_n] = 0;
            sb_adopt(sb, rd.front, rd.front_n);
            *owner = nullptr;
        } else {
            rd.leave_front(rd.front_arg);
        }
    }
    return 0;
}

struct transport_reply {
    const quorlin_io *io = nullptr;
    char *body = nullptr;
    ~transport_reply() { io_release(io, body); }
};

void clear_outs(soap_out *outs, int nout) {
    for (int k = 0; k < nout; k++) {
        outs[k].found = 0;
        if (outs[k].sb)
            sb_reset(outs[k].sb);
        else if (outs[k].buf && outs[k].cap)
            outs[k].buf[0] = 0;
    }
}

bool arg_empty(const soap_out &o) {
    return o.sb ? o.sb->n == 0 : !o.buf || o.cap == 0 || o.buf[0] == 0;
}

// Actions that only read the peer's state: sending one twice changes nothing.
bool read_only(const char *action) {
    static constexpr const char *ACTIONS[] = {"Browse",    "GetTransportInfo", "GetPositionInfo",
                                              "GetVolume", "GetMute",          "GetProtocolInfo"};
    for (const char *a : ACTIONS)
        if (strcmp(a, action) == 0) return true;
    return false;
}

// Where a call goes: the control URL, on the device's own host, and the service type.
struct soap_target {
    char url[SOAP_URL_CAP];
    char stype[SOAP_TYPE_CAP];
};

int resolve_target(const device_t *d, const char *svc_frag, soap_target *t, char *err, size_t errn) {
    if (soap_service_url(d, svc_frag, t->url, sizeof t->url) != 0) {
        str_fmt(err, errn, "device has no %s service", svc_frag ? svc_frag : "");
        return KVDMC_E_ARG;
    }
    // Requests go only to the device's own host: a description naming another host
    // (absolute control URLs, URLBase) must not make the library post there.
    if (!url_same_host(t->url, d->location)) {
        str_fmt(err, errn, "control URL %s is not on the device's host", t->url);
        return KVDMC_E_PARSE;
    }
    str_fmt(t->stype, sizeof t->stype, "%s%s", SERVICE_TYPE_PREFIX, svc_frag);
    return 0;
}

// Posts the envelope through the current transport: 0 with the reply and its HTTP status.
// *too_large, when given, is set when the transport refused the answer for its size.
int post_action(const soap_target &t, const char *action, const char *args, transport_reply *reply,
                int *status, int *too_large, char *err, size_t errn) {
    const quorlin_io *io = io_current();
    if (!io || !io->http_post) {
        str_copy(err, errn, "no quorlin_io backend");
        return KVDMC_E_ARG;
    }
    reply->io = io;
    char ct[SOAP_HEADERS_CAP];
    str_fmt(ct, sizeof ct, "text/xml; charset=\"utf-8\"\r\nSOAPACTION: \"%s#%s\"", t.stype, action);
    sbuf_scoped req;
    sb_printf(&req,
              "<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope xmlns:s=\"%s\" "
              "s:encodingStyle=\"%s\"><s:Body><u:%s xmlns:u=\"%s\">",
              SOAP_ENVELOPE_NS, SOAP_ENCODING, action, t.stype);
    sb_puts(&req, args);
    sb_printf(&req, "</u:%s></s:Body></s:Envelope>", action);
    if (req.b.oom) {
        str_copy(err, errn, "SOAP request out of memory");
        return KVDMC_E_NOMEM;
    }
    char *terr = nullptr;
    // A read-only action may go out twice on a dropped kept-alive connection, no other.
    io_http_post_scope kind(read_only(action) ? IO_HTTP_POST_READ_ONLY : IO_HTTP_POST_CHANGES_STATE);
    int r = io->http_post(io->ctx, t.url, req.str(), ct, &reply->body, status, &terr);
    if (r != 0 || !reply->body) {
        str_fmt(err, errn, "transport: %s", terr ? terr : "failed");
        if (too_large && io_http_refused_size(terr)) *too_large = 1;
        io_release(io, terr);
        return KVDMC_E_NET;
    }
    io_release(io, terr);
    return 0;
}

int fault_of(const soap_reader &f, int *upnp_code, char *err, size_t errn) {
    // A code that does not fit an int must not wrap into a meaningful one.
    *upnp_code = (int)leading_int(f.code, INT_MAX);
    str_fmt(err, errn, "UPnP error %s: %s", f.code, f.desc[0] ? f.desc : "SOAP fault");
    return KVDMC_E_UPNP;
}

// A status other than 2xx: the UPnP fault the body carries, or the status itself.
int classify_status(const char *body, int status, const char *url, soap_reader &rd, int *upnp_code, char *err,
                    size_t errn) {
    // Servers send their faults with 500 (some with 501): read the body for one,
    // except for the authentication refusals.
    bool auth = status == 401 || status == 403;
    char rerr[XML_ERR_CAP];
    if (!auth && read_response(body, rd, nullptr, rerr, sizeof rerr) == 0 && rd.code[0])
        return fault_of(rd, upnp_code, err, errn);
    str_fmt(err, errn, "HTTP %ld from %s", (long)status, url);
    return auth ? KVDMC_E_AUTH : KVDMC_E_NET;
}

// A 2xx answer: its fault, or the response element and the wanted arguments.
int read_outputs(transport_reply &reply, const char *action, soap_reader &rd, const soap_out *outs,
                 int *upnp_code, int *too_large, char *err, size_t errn) {
    *upnp_code = 0;
    // A body the component may keep is also where the long argument is decoded to.
    char **owner = io_texts_are_heap(reply.io) ? &reply.body : nullptr;
    if (int rc = read_response(reply.body, rd, too_large, err, errn, owner)) return rc;
    if (rd.code[0]) return fault_of(rd, upnp_code, err, errn);
    // A reply that breaks off inside an output argument before any of its text is no answer:
    // an empty Result would pass for a folder without children. (With some text, the
    // argument's own reader decides what of it is whole.)
    if (rd.fs == F_ARG && arg_empty(outs[rd.arg])) {
        str_fmt(err, errn, "SOAP %s: the response ends inside %s", action, outs[rd.arg].name);
        return KVDMC_E_PARSE;
    }
    if (!rd.seen_resp) {
        str_fmt(err, errn, "SOAP %s: no %s in the response", action, rd.resp_name);
        return KVDMC_E_PARSE;
    }
    if (rd.oom_arg >= 0) {
        str_fmt(err, errn, "SOAP %s out of memory", outs[rd.oom_arg].name);
        return KVDMC_E_NOMEM;
    }
    return 0;
}

} // namespace

int soap_call(const device_t *d, const char *svc_frag, const char *action, const char *args, soap_out *outs,
              int nout, int *upnp_code, int *too_large, char *err, size_t errn) {
    int code_sink = 0;
    if (!upnp_code) upnp_code = &code_sink;
    if (!action) action = "";
    if (too_large) *too_large = 0;
    if (nout < 0 || (nout > 0 && !outs)) nout = 0;
    clear_outs(outs, nout);

    soap_target t;
    if (int rc = resolve_target(d, svc_frag, &t, err, errn)) return rc;
    transport_reply reply;
    int status = 0;
    if (int rc = post_action(t, action, args, &reply, &status, too_large, err, errn)) return rc;

    soap_reader rd;
    rd.outs = outs;
    rd.nout = nout;
    str_fmt(rd.resp_name, sizeof rd.resp_name, "%sResponse", action);
    int rc = status >= 200 && status <= 299
                 ? read_outputs(reply, action, rd, outs, upnp_code, too_large, err, errn)
                 : classify_status(reply.body, status, t.url, rd, upnp_code, err, errn);
    // A failed call hands out no partial outputs.
    if (rc) clear_outs(outs, nout);
    return rc;
}

int soap_action_args(const device_t *d, const char *svc_frag, const char *action, const char *args,
                     soap_out *outs, int nout, int *upnp_code, char *err, size_t errn) {
    return soap_call(d, svc_frag, action, args, outs, nout, upnp_code, nullptr, err, errn);
}

int soap_action_arg(const device_t *d, const char *svc_frag, const char *action, const char *args,
                    const char *want, char *out, size_t outn, int *upnp_code, char *err, size_t errn) {
    if (out && outn) out[0] = 0;
    if (!want || !want[0])
        return soap_call(d, svc_frag, action, args, nullptr, 0, upnp_code, nullptr, err, errn);
    // Gathered whole, then cut, so the copy into out is the only bound.
    sbuf_scoped acc;
    soap_out o{want, nullptr, 0, &acc, 0};
    int r = soap_call(d, svc_frag, action, args, &o, 1, upnp_code, nullptr, err, errn);
    if (r == 0 && out) str_copyn(out, outn, acc.str(), acc.b.n);
    return r;
}
