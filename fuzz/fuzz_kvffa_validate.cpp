// Item validation and path join on arbitrary bytes, each held against a
// plain re-statement of its rules; the UTF-8 check against a decoder that
// works by code points instead of byte ranges.
// Input: 8 bytes of numbers, then NUL-separated texts: name, path, listed
// path, title, id, locator.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "kvffa/kvffa.h"

namespace {
bool ref_utf8(const std::string &s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (!n || i + n > s.size()) return false;
        uint32_t cp = n == 1 ? c : c & (0x7F >> n);
        for (size_t k = 1; k < n; k++) {
            unsigned char d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = cp << 6 | (d & 0x3F);
        }
        static const uint32_t min_of[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min_of[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

std::string trimmed(const std::string &s) {
    size_t n = s.size();
    while (n > 0 && s[n - 1] == '/') n--;
    return s.substr(0, n);
}

bool one_segment(const std::string &name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool ref_valid(const kvffa_item &it, const std::string *listed, bool stat_mode) {
    std::string name = it.name, path = it.path;
    if (name.empty() ? !stat_mode : !one_segment(name)) return false;
    if (!ref_utf8(name) || path.empty() || !ref_utf8(path)) return false;
    if (!stat_mode && listed && trimmed(path) == trimmed(*listed)) return false;
    if (it.is_folder != 0 && it.is_folder != 1) return false;
    uint32_t f = it.fields;
    if ((f & KVFFA_F_SIZE) && it.size < 0) return false;
    if ((f & KVFFA_F_MTIME) && it.mtime_ms < 0) return false;
    if ((f & KVFFA_F_YEAR) && (it.year < 1800 || it.year > 9999)) return false;
    if ((f & KVFFA_F_TITLE) && !ref_utf8(it.title)) return false;
    if ((f & KVFFA_F_ID) && !ref_utf8(it.backend_id)) return false;
    if ((f & KVFFA_F_LOCATOR) && !ref_utf8(it.locator)) return false;
    return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 8) return 0;
    std::vector<std::string> t;
    std::string rest(reinterpret_cast<const char *>(data) + 8, size - 8);
    for (size_t pos = 0; t.size() < 6;) {
        size_t end = rest.find('\0', pos);
        t.push_back(rest.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        if (end == std::string::npos) break;
        pos = end + 1;
    }
    t.resize(6);
    for (const std::string &s : t)
        if (kvffa__utf8_valid(s.c_str()) != (ref_utf8(s) ? 1 : 0)) abort();

    kvffa_item it;
    memset(&it, 0, sizeof it);
    it.struct_size = sizeof it;
    it.fields = data[0] & 0x3F;
    it.is_folder = static_cast<int8_t>(data[1]) % 3;
    it.year = 1700 + (data[2] << 8 | data[3]) % 8400;
    it.size = static_cast<int8_t>(data[4]);
    it.mtime_ms = static_cast<int8_t>(data[5]);
    it.name = t[0].c_str();
    it.path = t[1].c_str();
    it.title = t[3].c_str();
    it.backend_id = t[4].c_str();
    it.locator = t[5].c_str();
    const std::string *listed = data[6] & 1 ? &t[2] : nullptr;
    for (int stat_mode = 0; stat_mode < 2; stat_mode++) {
        const char *why = nullptr;
        int ok = kvffa__validate(&it, listed ? listed->c_str() : nullptr, stat_mode, &why);
        if (ok != (ref_valid(it, listed, stat_mode) ? 1 : 0) || (!ok && !why)) abort();
    }
    int rc = kvffa_validate_item(&it, listed ? listed->c_str() : nullptr);
    if ((rc == KVFFA_OK) != (kvffa__validate(&it, listed ? listed->c_str() : nullptr, 0, nullptr) == 1))
        abort();

    const std::string &parent = t[2], &name = t[0];
    const char *joined = kvffa_path_join(parent.c_str(), name.c_str());
    std::string want = trimmed(parent) + "/" + name;
    bool should = one_segment(name) && ref_utf8(name) && ref_utf8(parent) && want.size() <= 4096;
    if (should != (joined != nullptr) || (joined && want != joined)) abort();
    return 0;
}
