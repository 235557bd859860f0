// A scripted HTTP transport for casting tests: answers description GETs and
// SOAP POSTs from memory and records every POST it saw. Thread-safe.
#pragma once

#include <stdlib.h>
#include <string.h>

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "docs.h"
#include "kvdmc.h"

struct cast_script {
    struct reply {
        int rc = 0;       // transport result; non-zero is a transport failure
        int code = 200;   // HTTP status
        std::string body; // response body
        std::string err;  // transport error text (with rc != 0)
    };
    struct call {
        std::string url, action, service, args, ct;
    };

    std::mutex mu;
    std::map<std::string, std::string> gets; // URL -> description
    std::map<std::string, reply> by_action;  // action, or "URL action" for one device only
    // Answers given once each, in order, before by_action's (a renderer that is busy, then not).
    std::map<std::string, std::deque<reply>> once;
    std::vector<call> calls;

    quorlin_io io() { return quorlin_io{this, &get_cb, &post_cb, &free_cb}; }

    void answer(const std::string &key, reply r) {
        std::lock_guard<std::mutex> g(mu);
        by_action[key] = std::move(r);
    }
    void answer_once(const std::string &key, std::vector<reply> rs) {
        std::lock_guard<std::mutex> g(mu);
        for (reply &r : rs) once[key].push_back(std::move(r));
    }
    std::vector<call> take_calls() {
        std::lock_guard<std::mutex> g(mu);
        std::vector<call> c;
        c.swap(calls);
        return c;
    }
    size_t ncalls() {
        std::lock_guard<std::mutex> g(mu);
        return calls.size();
    }

    // A 200 response of `action` on `service` (e.g. "AVTransport:1") with the given output arguments.
    static reply ok(const std::string &action, const std::string &service, const std::string &outs) {
        reply r;
        r.body = docs::action_response(action, service, outs, docs::form::renderer);
        return r;
    }
    static reply fault(int http, const std::string &code, const std::string &desc) {
        reply r;
        r.code = http;
        r.body = docs::fault(code, desc, docs::form::bare);
        return r;
    }
    static reply broken(const std::string &err) {
        reply r;
        r.rc = -1;
        r.code = 0;
        r.err = err;
        return r;
    }

  private:
    static char *dup(const std::string &s) { return strdup(s.c_str()); }

    static std::string between(const std::string &s, const std::string &a, const std::string &b) {
        size_t i = s.find(a);
        if (i == std::string::npos) return "";
        i += a.size();
        size_t j = s.find(b, i);
        return j == std::string::npos ? "" : s.substr(i, j - i);
    }

    static int get_cb(void *ctx, const char *url, char **out_body, int *http_code, char **out_err) {
        auto *s = static_cast<cast_script *>(ctx);
        std::lock_guard<std::mutex> g(s->mu);
        auto it = s->gets.find(url);
        if (it == s->gets.end()) {
            *out_err = dup("script: no description here");
            return -1;
        }
        *http_code = 200;
        *out_body = dup(it->second);
        return 0;
    }

    static int post_cb(void *ctx, const char *url, const char *body, const char *ct, char **out_body,
                       int *http_code, char **out_err) {
        auto *s = static_cast<cast_script *>(ctx);
        call c;
        c.url = url;
        c.ct = ct;
        std::string soapaction = between(ct, "SOAPACTION: \"", "\"");
        size_t hash = soapaction.find('#');
        c.action = hash == std::string::npos ? "" : soapaction.substr(hash + 1);
        c.service = between(soapaction, "urn:schemas-upnp-org:service:", "#");
        std::string b = body;
        size_t open = b.find("<u:" + c.action);
        size_t start = open == std::string::npos ? std::string::npos : b.find('>', open);
        size_t end = b.rfind("</u:" + c.action + ">");
        if (start != std::string::npos && end != std::string::npos && end > start)
            c.args = b.substr(start + 1, end - start - 1);

        std::lock_guard<std::mutex> g(s->mu);
        s->calls.push_back(c);
        auto q = s->once.find(c.action);
        if (q != s->once.end() && !q->second.empty()) {
            reply r = std::move(q->second.front());
            q->second.pop_front();
            return s->give(r, out_body, http_code, out_err);
        }
        auto it = s->by_action.find(c.url + " " + c.action);
        if (it == s->by_action.end()) it = s->by_action.find(c.action);
        if (it == s->by_action.end()) {
            *out_err = dup("script: no answer for " + c.action);
            return -1;
        }
        return s->give(it->second, out_body, http_code, out_err);
    }

    static int give(const reply &r, char **out_body, int *http_code, char **out_err) {
        *http_code = r.code;
        if (r.rc != 0) {
            if (!r.err.empty()) *out_err = dup(r.err);
            return r.rc;
        }
        *out_body = dup(r.body);
        return 0;
    }

    static void free_cb(void *, void *p) { free(p); }
};
