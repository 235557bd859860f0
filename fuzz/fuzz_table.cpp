// The device table fed with arbitrary SSDP packets and description bodies
// through the fake transport. Input: one byte for device_max, then records
// separated by "\n@@\n", each starting with an operation byte.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <rapidjson/document.h>

#include "upnp/discover.h"
#include "base/exports.h"
#include "kvdmc.h"

static const char *const LOCATIONS[] = {"http://h/0", "http://h/1", "http://h/2", "http://h/3"};

static void check_table(int device_max) {
    int n;
    {
        plat_guard g(&g_lock);
        n = g_ndev;
    }
    // What the host reads of each row is valid UTF-8 JSON, whatever the descriptions held.
    for (int i = 0; i < n; i++) {
        rapidjson::Document j;
        j.Parse<rapidjson::kParseValidateEncodingFlag>(kvdmc_device_json(i));
        if (j.HasParseError() || !j.IsObject()) abort();
    }
    plat_guard g(&g_lock);
    if (g_ndev < 0 || g_ndev > device_max) abort();
    for (int i = 0; i < g_ndev; i++) {
        const device_t &d = g_dev[i];
        if (!d.udn_key[0] || d.desc_ok != 1 || (d.kind != 1 && d.kind != 2)) abort();
        if (d.nsvc < 0 || d.nsvc > DEVICE_MAX_SVC) abort();
        for (int j = i + 1; j < g_ndev; j++)
            if (strcmp(d.udn_key, g_dev[j].udn_key) == 0) abort();
    }
}

static void run(char op, const std::string &arg) {
    switch (op % 6) {
    case 0:
        kvdmc_fake_ssdp(arg.c_str(), "10.0.0.1");
        break;
    case 1:
        kvdmc_fake_set(LOCATIONS[(unsigned char)op / 6 % 4], 200, arg.c_str());
        break;
    case 2:
        kvdmc_fake_fail(LOCATIONS[(unsigned char)op / 6 % 4], arg.c_str());
        break;
    case 3:
        g_dev_clock_skew_ms += (uint64_t)((unsigned char)op) * 10000;
        break;
    case 4:
        kvdmc_forget(arg.c_str());
        break;
    default:
        kvdmc_find_device(arg.c_str());
        break;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    kvdmc_config("device_max", nullptr); // clears fake mode too; selected again below
    kvdmc_use_fake();
    kvdmc_fake_reset();
    kvdmc_devices_clear();
    g_dev_clock_skew_ms = 0;
    int device_max = 1 + data[0] % 64;
    kvdmc_config("device_max", std::to_string(device_max).c_str());

    std::string in((const char *)data + 1, size - 1);
    static const std::string SEP = "\n@@\n";
    for (size_t pos = 0; pos < in.size();) {
        size_t end = in.find(SEP, pos);
        if (end == std::string::npos) end = in.size();
        if (end > pos) run(in[pos], in.substr(pos + 1, end - pos - 1));
        check_table(device_max);
        pos = end + SEP.size();
    }
    kvdmc_device_count();
    check_table(device_max);
    return 0;
}
