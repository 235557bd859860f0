// Bytes that end where readable memory ends: a scan that reads one byte past them faults
// (on Windows they end their own heap block, which ASan builds watch).
#pragma once

#include <stddef.h>
#include <string.h>

#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/mman.h>
#include <unistd.h>
#endif

class guarded_text {
  public:
    explicit guarded_text(size_t room = 4096) {
#ifndef _WIN32
        page_ = (size_t)sysconf(_SC_PAGESIZE);
        span_ = (room + page_ - 1) / page_ * page_ + page_;
        void *m = mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m != MAP_FAILED) {
            base_ = static_cast<char *>(m);
            mprotect(base_ + span_ - page_, page_, PROT_NONE);
        }
#else
        (void)room;
#endif
    }
    ~guarded_text() {
#ifndef _WIN32
        if (base_) munmap(base_, span_);
#endif
    }
    guarded_text(const guarded_text &) = delete;
    guarded_text &operator=(const guarded_text &) = delete;

    // The n bytes at s, copied so that the last of them is the last readable byte.
    const char *place(const char *s, size_t n) {
#ifndef _WIN32
        if (base_ && n <= span_ - page_) {
            char *at = base_ + span_ - page_ - n;
            memcpy(at, s, n);
            return at;
        }
#endif
        heap_.assign(s, s + n);
        heap_.shrink_to_fit();
        return heap_.data();
    }
    const char *place(const std::string &s) {
        return place(s.data(), s.size());
    }

  private:
    char *base_ = nullptr;
    size_t page_ = 0, span_ = 0;
    std::vector<char> heap_;
};
