// The platform halves' shared part.
#include <gtest/gtest.h>

#include <stdint.h>

#include <vector>

#include "platform/plat_common.h"

// The interface list both platform halves hand to the live search: every other address
// once and in order, loopback only when nothing else is up, never more than asked for.
TEST(Platform, InterfaceListRule) {
    static const struct {
        std::vector<plat_iface> found;
        int max;
        std::vector<uint32_t> want;
    } rows[] = {
        {{}, 16, {}},
        {{{1, true}}, 16, {1}},
        {{{1, true}, {2, false}, {3, false}}, 16, {2, 3}},
        {{{2, false}, {2, false}, {1, true}, {3, false}, {2, false}}, 16, {2, 3}},
        {{{1, true}, {1, true}, {4, true}}, 16, {1, 4}},
        {{{2, false}, {3, false}, {4, false}}, 2, {2, 3}},
    };
    for (const auto &row : rows) {
        uint32_t out[16] = {};
        int n = plat_pick_interfaces(row.found.data(), (int)row.found.size(), out, row.max);
        EXPECT_EQ(std::vector<uint32_t>(out, out + n), row.want);
    }
}
