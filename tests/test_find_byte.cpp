// The 16-byte scan: every body compiled for this target (scalar always, SSE2 or NEON where
// the target has them) against a plain definition of each set, at every position and
// length, for every member of the set, and never reading past the bytes it is given.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/find_byte.h"
#include "helpers/guard_page.h"

namespace {

using want_fn = bool (*)(unsigned char);

// Two whole blocks and a tail of every length: each body's loop and its scalar tail.
constexpr size_t k_longest = 40;

// A block's mask as one bit per byte; all ones when it is not a mask its body could give.
unsigned bits_of(bytes_scalar::mask m) {
    return m.bits;
}
#if defined(__SSE2__)
unsigned bits_of(bytes_sse2::mask m) {
    return m.bits > 0xFFFF ? ~0u : m.bits;
}
#endif
#if defined(__aarch64__) && defined(__ARM_NEON)
unsigned bits_of(bytes_neon::mask m) {
    unsigned b = 0;
    for (unsigned i = 0; i < 16; i++) {
        unsigned nibble = (unsigned)(m.bits >> (4 * i)) & 0xF;
        if (nibble != 0 && nibble != 0xF) return ~0u;
        b |= (unsigned)(nibble != 0) << i;
    }
    return b;
}
#endif

// Byte k of a scanned text: one of the bytes outside the set, stepping through all of them
// (high ones included) as k grows, or a member at the positions asked for.
std::vector<unsigned char> outside(want_fn want) {
    std::vector<unsigned char> v;
    for (int c = 0; c < 256; c++)
        if (!want((unsigned char)c)) v.push_back((unsigned char)c);
    return v;
}

// Where each body and the definition disagree, as text; empty when they never do.
template <size_t E, size_t R> std::string disagreements(const byte_set<E, R> &set, want_fn want) {
    std::string out;
    std::vector<unsigned char> members, others = outside(want);
    for (int c = 0; c < 256; c++)
        if (want((unsigned char)c)) members.push_back((unsigned char)c);
    for (int c = 0; c < 256; c++)
        if (set.has((unsigned char)c) != want((unsigned char)c)) out += "has(" + std::to_string(c) + ") ";
    guarded_text guard;
    auto check_text = [&](const std::string &text, size_t expect, const char *what) {
        const char *p = guard.place(text);
        const char *end = p + text.size();
        auto report = [&](const char *name, size_t got) {
            if (got != expect)
                out += std::string(name) + " " + what + " len " + std::to_string(text.size()) + ": " +
                       std::to_string(got) + " for " + std::to_string(expect) + "; ";
        };
        report("scalar", (size_t)(bytes_scalar::find_first(p, end, set) - p));
#if defined(__SSE2__)
        report("sse2", (size_t)(bytes_sse2::find_first(p, end, set) - p));
#endif
#if defined(__aarch64__) && defined(__ARM_NEON)
        report("neon", (size_t)(bytes_neon::find_first(p, end, set) - p));
#endif
        // Each block the longest texts hold, byte by byte, and its first hit as callers read it.
        for (size_t at = 0; text.size() == k_longest && at + 16 <= text.size(); at++) {
            unsigned want_bits = 0;
            for (unsigned i = 0; i < 16; i++) want_bits |= (unsigned)want((unsigned char)p[at + i]) << i;
            auto check_block = [&](const char *name, auto m) {
                unsigned got = bits_of(m);
                bool first_ok = !any(m) || (got && first(m) == (unsigned)__builtin_ctz(got));
                if (got != want_bits || any(m) != (want_bits != 0) || !first_ok)
                    out += std::string(name) + " block at " + std::to_string(at) + "; ";
            };
            check_block("scalar", bytes_scalar::block_mask(p + at, set));
#if defined(__SSE2__)
            check_block("sse2", bytes_sse2::block_mask(p + at, set));
#endif
#if defined(__aarch64__) && defined(__ARM_NEON)
            check_block("neon", bytes_neon::block_mask(p + at, set));
#endif
        }
    };
    // One member at each position, every member in turn, the rest outside the set.
    for (unsigned char m : members) {
        for (size_t len = 0; len <= k_longest; len++) {
            std::string none(len, 0);
            for (size_t k = 0; k < len; k++) none[k] = (char)others[(k * 7 + m) % others.size()];
            check_text(none, len, "none");
            for (size_t k = 0; k < len; k++) {
                std::string one = none;
                one[k] = (char)m;
                check_text(one, k, "one");
            }
            if (!out.empty()) return out;
        }
    }
    return out;
}

TEST(FindByte, EveryBodyFindsTheFirstByteOfEachSet) {
    const struct {
        const char *what;
        std::string (*run)();
    } cases[] = {
        {"one byte", [] { return disagreements(bytes_of('<'), [](unsigned char c) { return c == '<'; }); }},
        {"NUL", [] { return disagreements(bytes_of('\0'), [](unsigned char c) { return c == 0; }); }},
        {"a high byte",
         [] { return disagreements(bytes_of('\xE9'), [](unsigned char c) { return c == 0xE9; }); }},
        {"text end",
         [] {
             return disagreements(bytes_of('<', '&'), [](unsigned char c) { return c == '<' || c == '&'; });
         }},
        {"value end",
         [] {
             return disagreements(bytes_of('\'', '<', '&'),
                                  [](unsigned char c) { return c == '\'' || c == '<' || c == '&'; });
         }},
        {"range from 0",
         [] {
             return disagreements(bytes_of('/', '>') | byte_range{0x00, ' '},
                                  [](unsigned char c) { return c <= ' ' || c == '/' || c == '>'; });
         }},
        {"range to 255",
         [] {
             return disagreements(bytes_of() | byte_range{0xC0, 0xFF},
                                  [](unsigned char c) { return c >= 0xC0; });
         }},
        {"high half",
         [] {
             return disagreements(bytes_of() | byte_range{0x80, 0xFF},
                                  [](unsigned char c) { return c >= 0x80; });
         }},
        {"range across 0x80",
         [] {
             return disagreements(bytes_of() | byte_range{0x7E, 0x81},
                                  [](unsigned char c) { return c >= 0x7E && c <= 0x81; });
         }},
        {"inner range",
         [] {
             return disagreements(bytes_of() | byte_range{0x01, 0xFE},
                                  [](unsigned char c) { return c && c != 0xFF; });
         }},
        {"all but printable ASCII (URL escapes)",
         [] {
             return disagreements(all_but(bytes_of() | byte_range{0x21, 0x7E}),
                                  [](unsigned char c) { return c <= 0x20 || c >= 0x7F; });
         }},
        {"all but name bytes",
         [] {
             return disagreements(
                 all_but(bytes_of('_') | byte_range{'-', '.'} | byte_range{'0', ':'} | byte_range{'A', 'Z'} |
                         byte_range{'a', 'z'} | byte_range{0x80, 0xFF}),
                 [](unsigned char c) {
                     bool name = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                 c == '-' || c == '.' || c == ':' || c == '_' || c >= 0x80;
                     return !name;
                 });
         }},
    };
    for (const auto &c : cases) EXPECT_EQ(c.run(), "") << c.what;
}

} // namespace
