// The fake backend's tree loader on arbitrary text, then a walk of whatever
// loaded: every folder listed page by page, every entry looked up by stat and
// locator. Whatever the layer hands out must pass its own validation.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "kvffa/kvffa.h"

namespace {
constexpr int64_t MAX_GENERATED = 20000; // keeps one input well under the time-out
constexpr size_t MAX_FOLDERS = 64;

bool too_big(const std::string &text) {
    rapidjson::Document d;
    d.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
    if (d.HasParseError() || !d.IsObject()) return false;
    if (!d.HasMember("generate") || !d["generate"].IsArray()) return false;
    int64_t total = 0;
    for (const auto &e : d["generate"].GetArray()) {
        if (!e.IsObject() || !e.HasMember("count")) continue;
        const auto &c = e["count"];
        if (c.IsInt64() && c.GetInt64() > 0) total += c.GetInt64();
        if (total > MAX_GENERATED) return true;
    }
    return false;
}

void check_listing(const std::string &folder) {
    for (size_t i = 0; i < kvffa_count(); i++) {
        const kvffa_item *it = kvffa_item_at(static_cast<long>(i));
        if (!kvffa__validate(it, folder.c_str(), 0, nullptr)) abort();
        if (kvffa_item_has(it, KVFFA_F_LOCATOR)) abort(); // the fake never reports one
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    static bool registered = kvffa_fake_register() == KVFFA_OK;
    if (!registered) abort();
    std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    if (too_big(text)) return 0;
    if (kvffa_fake_load_tree(text.c_str()) != KVFFA_OK) return 0;

    std::string config = "{\"page_size\":" + std::to_string(1 + data[0] % 7) + "}";
    if (kvffa_open("fake", config.c_str()) != KVFFA_OK) abort();
    kvffa_set_page_size(1 + data[0] / 7 % 5);

    std::vector<std::string> folders{"/"};
    for (size_t f = 0; f < folders.size() && f < MAX_FOLDERS; f++) {
        int rc = kvffa_list_all(folders[f].c_str());
        if (rc != KVFFA_OK && rc != KVFFA_E_NOT_FOUND && rc != KVFFA_E_INVALID_ARG) abort();
        check_listing(folders[f]);
        std::vector<std::string> files;
        for (size_t i = 0; i < kvffa_count(); i++) {
            const kvffa_item *it = kvffa_item_at(static_cast<long>(i));
            (kvffa_item_is_folder(it) ? folders : files).push_back(kvffa_item_path(it));
        }
        if (kvffa_decode(kvffa_result_json()) != KVFFA_OK) abort();
        for (const std::string &p : files) {
            if (kvffa_get(p.c_str(), nullptr) == KVFFA_OK &&
                !kvffa__validate(kvffa_got(), nullptr, 1, nullptr))
                abort();
            const char *loc = kvffa_locator(p.c_str());
            if (loc && (strncmp(loc, "fake://", 7) != 0 || !kvffa__utf8_valid(loc))) abort();
        }
    }
    kvffa_close();
    return 0;
}
