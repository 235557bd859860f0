// Configuration: the keys kvdmc_config takes, and the values stored after clamping.
#include <gtest/gtest.h>

#include <stdint.h>

#include <string>

#include "base/config.h"
#include "base/exports.h"
#include "kvdmc.h"

TEST(Config, KeysValidationAndClamping) {
    EXPECT_EQ(kvdmc_config("ssdp_disable", "1"), KVDMC_E_CONFIG);
    EXPECT_STREQ(kvdmc_last_error(), "unknown config key");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_CONFIG);
    EXPECT_EQ(kvdmc_config("SSDP_PORT", "1900"), KVDMC_E_CONFIG);
    EXPECT_EQ(kvdmc_config(nullptr, "1"), KVDMC_E_CONFIG);
    EXPECT_EQ(kvdmc_config("ssdp_port", "12a"), KVDMC_E_CONFIG);
    EXPECT_STREQ(kvdmc_last_error(), "ssdp_port must be an integer");
    EXPECT_EQ(kvdmc_config("ssdp_port", ""), KVDMC_E_CONFIG);
    EXPECT_EQ(kvdmc_config("ssdp_port", " -"), KVDMC_E_CONFIG);
    EXPECT_EQ(kvdmc_config("ssdp_port", "70000"), 0);
    EXPECT_EQ(kvdmc_config("ssdp_group", "239.255.255.250 "), KVDMC_E_CONFIG);
    EXPECT_STREQ(kvdmc_last_error(), "ssdp_group must be an IPv4 literal");
    EXPECT_EQ(kvdmc_config("ssdp_if", ""), KVDMC_E_CONFIG);
    EXPECT_STREQ(kvdmc_last_error(), "ssdp_if must be an IPv4 literal");
    EXPECT_EQ(kvdmc_config("ssdp_if", "127.0.0.1"), 0);
    EXPECT_EQ(kvdmc_config("ssdp_if", nullptr), 0);
    EXPECT_EQ(kvdmc_config("ssdp_ttl", nullptr), 0);
}

TEST(Config, StoredValuesAfterClampAndRestore) {
    api_enter();
    plat_guard g(&g_lock);
    EXPECT_EQ(cfg_set("ssdp_port", "0"), 0);
    EXPECT_EQ(g_cfg.ssdp_port, 1);
    EXPECT_EQ(cfg_set("ssdp_port", "-5"), 0);
    EXPECT_EQ(g_cfg.ssdp_port, 1);
    EXPECT_EQ(cfg_set("ssdp_port", "65536"), 0);
    EXPECT_EQ(g_cfg.ssdp_port, 65535);
    EXPECT_EQ(cfg_set("ssdp_port", " +1901"), 0);
    EXPECT_EQ(g_cfg.ssdp_port, 1901);
    EXPECT_EQ(cfg_set("ssdp_port", "99999999999999999999"), 0);
    EXPECT_EQ(g_cfg.ssdp_port, 65535);
    EXPECT_EQ(cfg_set("browse_cache_ms", "-1"), 0);
    EXPECT_EQ(g_cfg.browse_cache_ms, 0);
    EXPECT_EQ(cfg_set("desc_max_bytes", "100"), 0);
    EXPECT_EQ(g_cfg.desc_max_bytes, 1024);
    EXPECT_EQ(cfg_set("desc_max_bytes", "9000000"), 0);
    EXPECT_EQ(g_cfg.desc_max_bytes, 8388608);
    EXPECT_EQ(cfg_set("device_max", "100"), 0);
    EXPECT_EQ(g_cfg.device_max, 64);
    EXPECT_EQ(cfg_set("ssdp_group", std::string(64, '1').c_str()), -10);
    EXPECT_EQ(cfg_set("ssdp_group", "239.1.2.3"), 0);
    EXPECT_STREQ(g_cfg.ssdp_group, "239.1.2.3");
    EXPECT_EQ(cfg_set("ssdp_group", "1.2.3"), -10);
    EXPECT_STREQ(g_cfg.ssdp_group, "239.1.2.3"); // a failed set changes nothing

    uint32_t restores = g_cfg.restores;
    EXPECT_EQ(cfg_set("ssdp_ttl", nullptr), 0);
    EXPECT_EQ(g_cfg.restores, restores + 1);
    EXPECT_EQ(g_cfg.ssdp_port, 1900);
    EXPECT_EQ(g_cfg.browse_cache_ms, 30000);
    EXPECT_EQ(g_cfg.desc_max_bytes, 262144);
    EXPECT_STREQ(g_cfg.ssdp_group, "239.1.2.3"); // only the numeric settings
    EXPECT_EQ(cfg_set("ssdp_group", nullptr), 0);
    EXPECT_STREQ(g_cfg.ssdp_group, "239.255.255.250");
}
