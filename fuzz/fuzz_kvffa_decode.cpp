// kvffa_decode on arbitrary text. Whatever it accepts must be entries that
// pass validation, and the rendering of those entries must read back into the
// very same entries, with nothing rejected the second time.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "kvffa/kvffa.h"

namespace {
std::string items_part(const char *json) {
    const char *p = strstr(json, "\"items\":");
    if (!p) abort();
    return p;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    if (kvffa_decode(text.c_str()) != KVFFA_OK) {
        if (kvffa_count() != 0) abort();
        return 0;
    }
    for (size_t i = 0; i < kvffa_count(); i++)
        if (!kvffa__validate(kvffa_item_at(static_cast<long>(i)), nullptr, 0, nullptr)) abort();
    const size_t count = kvffa_count();
    const std::string first = kvffa_result_json();

    if (kvffa_decode(first.c_str()) != KVFFA_OK) abort();
    if (kvffa_count() != count || kvffa_rejected() != 0) abort();
    const std::string second = kvffa_result_json();
    if (items_part(first.c_str()) != items_part(second.c_str())) abort();
    return 0;
}
