// A scripted ContentDirectory behind a quorlin_io record: answers Browse from
// in-memory folders by StartingIndex, RequestedCount and BrowseFlag, logs every
// request, and counts the buffers it hands out so tests can check their release.
#pragma once

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "docs.h"
#include "kvdmc.h"

namespace cdtest {

struct request {
    std::string url, ct, body;
    std::string service, action; // from the SOAPACTION line
    std::string object_id, flag; // Browse arguments, decoded
    int start = -1, count = -1;
};

struct reply {
    int rc = 0;           // transport result
    int status = 200;     // HTTP status
    std::string body;     // response body (not handed out when rc != 0 and empty)
    std::string err;      // transport error text, handed out when not empty
    bool no_body = false; // succeed without a body
};

class server {
  public:
    // Folders: object id -> children (DIDL-Lite fragments, in server order).
    std::map<std::string, std::vector<std::string>> folders;
    int total_override = -2; // TotalMatches to report instead of the true count, when >= -1
    unsigned update_id = 7;
    std::string service = "ContentDirectory:1"; // echoed in the response element's namespace
    // Replaces the folder logic when set; return true to use *out.
    std::function<bool(const request &, reply *)> script;

    quorlin_io io() {
        quorlin_io r;
        r.ctx = this;
        r.http_get = &server::get;
        r.http_post = &server::post;
        r.free_buf = &server::release;
        return r;
    }

    std::vector<request> requests() {
        std::lock_guard<std::mutex> g(mu_);
        return log_;
    }
    size_t request_count() {
        std::lock_guard<std::mutex> g(mu_);
        return log_.size();
    }
    void clear_log() {
        std::lock_guard<std::mutex> g(mu_);
        log_.clear();
    }
    long outstanding() const { return outstanding_.load(); }

    static request parse(const char *url, const char *body, const char *ct) {
        request q;
        q.url = url ? url : "";
        q.body = body ? body : "";
        q.ct = ct ? ct : "";
        size_t a = q.ct.find("SOAPACTION: \"urn:schemas-upnp-org:service:");
        size_t h = q.ct.find('#');
        size_t e = q.ct.rfind('"');
        if (a != std::string::npos && h != std::string::npos && e != std::string::npos && h < e) {
            size_t s0 = a + strlen("SOAPACTION: \"urn:schemas-upnp-org:service:");
            q.service = q.ct.substr(s0, h - s0);
            q.action = q.ct.substr(h + 1, e - h - 1);
        }
        q.object_id = docs::xml_unescape(docs::tag_text(q.body, "ObjectID"));
        q.flag = docs::tag_text(q.body, "BrowseFlag");
        std::string s = docs::tag_text(q.body, "StartingIndex"), c = docs::tag_text(q.body, "RequestedCount");
        q.start = s.empty() ? -1 : atoi(s.c_str());
        q.count = c.empty() ? -1 : atoi(c.c_str());
        return q;
    }

    reply serve(const request &q) {
        reply r;
        if (script && script(q, &r)) return r;
        if (q.action != "Browse") {
            r.status = 500;
            r.body = docs::fault(401, "Invalid Action");
            return r;
        }
        auto f = folders.find(q.object_id);
        if (q.flag == "BrowseMetadata") {
            std::string didl = docs::didl_open() + "<container id=\"" + docs::xml_escape(q.object_id) +
                               "\" parentID=\"-1\" childCount=\"" +
                               std::to_string(f == folders.end() ? 0 : f->second.size()) +
                               "\"><dc:title>Folder</dc:title><upnp:class>object.container.storageFolder"
                               "</upnp:class></container></DIDL-Lite>";
            r.body = docs::browse_response(didl, 1, 1, update_id, service);
            return r;
        }
        if (f == folders.end()) {
            r.status = 500;
            r.body = docs::fault(701, "No such object");
            return r;
        }
        const auto &items = f->second;
        int n = (int)items.size();
        int s = q.start < 0 ? 0 : q.start > n ? n : q.start;
        int e = q.count <= 0 || s + q.count > n ? n : s + q.count;
        std::string didl = docs::didl_open();
        for (int i = s; i < e; i++) didl += items[(size_t)i];
        didl += "</DIDL-Lite>";
        r.body =
            docs::browse_response(didl, e - s, total_override >= -1 ? total_override : n, update_id, service);
        return r;
    }

    // The record's operations, for tests that wrap them.
    static int post_op(void *ctx, const char *url, const char *body, const char *ct, char **out_body,
                       int *http_code, char **out_err) {
        return post(ctx, url, body, ct, out_body, http_code, out_err);
    }
    static void release_op(void *ctx, void *p) { release(ctx, p); }

  private:
    std::mutex mu_;
    std::vector<request> log_;
    std::atomic<long> outstanding_{0};

    char *hand_out(const std::string &s) {
        char *p = (char *)malloc(s.size() + 1);
        memcpy(p, s.c_str(), s.size() + 1);
        outstanding_++;
        return p;
    }

    static int get(void *, const char *, char **, int *, char **) { return -1; }

    static int post(void *ctx, const char *url, const char *body, const char *ct, char **out_body,
                    int *http_code, char **out_err) {
        server *s = (server *)ctx;
        request q = parse(url, body, ct);
        {
            std::lock_guard<std::mutex> g(s->mu_);
            s->log_.push_back(q);
        }
        reply r = s->serve(q);
        if (!r.err.empty()) *out_err = s->hand_out(r.err);
        if (r.rc != 0) return r.rc;
        if (!r.no_body) *out_body = s->hand_out(r.body);
        *http_code = r.status;
        return 0;
    }

    static void release(void *ctx, void *p) {
        server *s = (server *)ctx;
        s->outstanding_--;
        free(p);
    }
};

} // namespace cdtest
