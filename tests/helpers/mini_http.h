// A small HTTP/1.1 server on 127.0.0.1 for tests: one thread accepts, one thread per
// connection answers with keep-alive. Responses come from a handler the test supplies.
// Every loop is bounded in time, so a stuck client never hangs the test.
#pragma once

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "test_sock.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Case-insensitive comparison of n bytes.
inline bool mini_nieq(const char *a, const char *b, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) return false;
    return true;
}

struct mini_request {
    std::string method, path, head, body;
    int seq = 0; // 1 for the first request on its connection, 2 for the next, ...
    // Value of the first header `name` (case-insensitive), or "" when absent.
    std::string header(const char *name) const {
        std::string want = std::string("\r\n") + name + ":";
        for (size_t i = 0; i + want.size() <= head.size(); i++) {
            if (!mini_nieq(head.c_str() + i, want.c_str(), want.size())) continue;
            size_t v = i + want.size();
            while (v < head.size() && head[v] == ' ') v++;
            size_t e = head.find("\r\n", v);
            return head.substr(v, e == std::string::npos ? std::string::npos : e - v);
        }
        return "";
    }
    bool has_header(const char *name) const {
        std::string want = std::string("\r\n") + name + ":";
        for (size_t i = 0; i + want.size() <= head.size(); i++)
            if (mini_nieq(head.c_str() + i, want.c_str(), want.size())) return true;
        return false;
    }
};

// What the handler does with one request.
struct mini_reply {
    // SILENT: no answer at all. STREAM: `raw` is the head, then an endless chunked body.
    // STALL: `raw` is the head, then silence. TRICKLE: `raw` is the head, then one body byte
    // every 100 ms. DROP: the connection is reset without a byte of an answer, as a server
    // does that closes a kept-alive connection just as the client sends on it.
    // CUT: `raw` is sent, then the connection is closed (a body shorter than its length).
    enum { RESPOND, SILENT, STREAM, STALL, TRICKLE, DROP, CUT } mode = RESPOND;
    std::string raw;
};

inline std::string mini_response(int code, const char *reason, const std::string &body,
                                 const std::string &extra_headers = "") {
    return "HTTP/1.1 " + std::to_string(code) + " " + reason +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra_headers + "\r\n" + body;
}

class mini_http {
  public:
    using handler_t = std::function<mini_reply(const mini_request &)>;

    explicit mini_http(handler_t h) : handler_(std::move(h)) {
        tsock_startup();
        lsock_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = 0;
        if (bind(lsock_, (sockaddr *)&sa, sizeof sa) != 0 || listen(lsock_, 16) != 0) return;
        socklen_t sl = sizeof sa;
        getsockname(lsock_, (sockaddr *)&sa, &sl);
        port_ = ntohs(sa.sin_port);
        acceptor_ = std::thread([this] { accept_loop(); });
    }
    ~mini_http() {
        stop_ = true;
        if (acceptor_.joinable()) acceptor_.join();
        std::vector<std::thread> conns;
        {
            std::lock_guard<std::mutex> g(mu_);
            conns.swap(conns_);
        }
        for (auto &t : conns) t.join();
        tsock_close(lsock_);
    }
    mini_http(const mini_http &) = delete;
    mini_http &operator=(const mini_http &) = delete;

    int port() const { return port_; }
    std::string url(const std::string &path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    int connections() const { return nconn_.load(); }
    std::vector<mini_request> requests() {
        std::lock_guard<std::mutex> g(mu_);
        return reqs_;
    }

  private:
    static constexpr int MAX_LIFE_MS = 20000; // no connection lives longer than this

    void accept_loop() {
        while (!stop_) {
            if (tsock_poll(lsock_, TSOCK_IN, 50) <= 0) continue;
            tsock c = accept(lsock_, nullptr, nullptr);
            if (c == TSOCK_BAD) continue;
            nconn_++;
            std::lock_guard<std::mutex> g(mu_);
            conns_.emplace_back([this, c] {
                serve(c);
                tsock_close(c);
            });
        }
    }

    // Reads until `need` is satisfied; false on close, error, stop or time-out.
    bool fill(tsock c, std::string &in, const std::function<bool()> &need,
              std::chrono::steady_clock::time_point end) {
        char buf[4096];
        while (!need()) {
            if (stop_ || std::chrono::steady_clock::now() > end) return false;
            if (tsock_poll(c, TSOCK_IN, 50) <= 0) continue;
            int r = (int)recv(c, buf, sizeof buf, 0);
            if (r <= 0) return false;
            in.append(buf, (size_t)r);
        }
        return true;
    }

    bool send_all(tsock c, const char *p, size_t n) {
        while (n) {
            int w = (int)send(c, p, (int)n, TSOCK_NOSIGNAL);
            if (w <= 0) return false;
            p += w;
            n -= (size_t)w;
        }
        return true;
    }

    void serve(tsock c) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(MAX_LIFE_MS);
        std::string in;
        for (int seq = 1;; seq++) {
            if (!fill(
                    c, in, [&] { return in.find("\r\n\r\n") != std::string::npos; }, end))
                return;
            size_t he = in.find("\r\n\r\n") + 4;
            mini_request rq;
            rq.head = in.substr(0, he);
            size_t sp1 = rq.head.find(' '), sp2 = rq.head.find(' ', sp1 + 1);
            rq.method = rq.head.substr(0, sp1);
            rq.path = rq.head.substr(sp1 + 1, sp2 - sp1 - 1);
            size_t blen = (size_t)atol(rq.header("Content-Length").c_str());
            if (!fill(
                    c, in, [&] { return in.size() >= he + blen; }, end))
                return;
            rq.body = in.substr(he, blen);
            rq.seq = seq;
            in.erase(0, he + blen);
            {
                std::lock_guard<std::mutex> g(mu_);
                reqs_.push_back(rq);
            }
            mini_reply rep = handler_(rq);
            if (rep.mode == mini_reply::DROP) {
                tsock_reset_on_close(c);
                return;
            }
            if (rep.mode == mini_reply::SILENT) {
                // Hold the connection open without a word until the client gives up.
                std::string sink;
                fill(
                    c, sink, [] { return false; }, end);
                return;
            }
            if (!send_all(c, rep.raw.data(), rep.raw.size())) return;
            if (rep.mode == mini_reply::CUT) return;
            if (rep.mode == mini_reply::STALL) {
                std::string sink;
                fill(
                    c, sink, [] { return false; }, end);
                return;
            }
            if (rep.mode == mini_reply::TRICKLE) {
                for (int i = 0; i < 200 && !stop_ && std::chrono::steady_clock::now() < end; i++) {
                    if (!send_all(c, "t", 1)) break;
                    std::string sink;
                    auto tick = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
                    if (fill(
                            c, sink, [] { return false; }, tick) == false &&
                        std::chrono::steady_clock::now() < tick)
                        break; // the client went away
                }
                return;
            }
            if (rep.mode == mini_reply::STREAM) {
                std::string chunk(65536, 'x');
                std::string framed = "10000\r\n" + chunk + "\r\n";
                // At most 256 MiB: far beyond any cap, yet finite.
                for (int i = 0; i < 4096 && !stop_ && std::chrono::steady_clock::now() < end; i++)
                    if (!send_all(c, framed.data(), framed.size())) break;
                return;
            }
        }
    }

    handler_t handler_;
    tsock lsock_ = TSOCK_BAD;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> nconn_{0};
    std::thread acceptor_;
    std::mutex mu_;
    std::vector<std::thread> conns_;
    std::vector<mini_request> reqs_;
};
