// The device table: rows from replies and announcements, fetches of new descriptions,
// expiry and lookups.
// kvdmc-test: tsan
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "base/exports.h"
#include "base/protocol.h"
#include "helpers/docs.h"
#include "http/io.h"
#include "kvdmc.h"
#include "upnp/discover.h"

using namespace docs;

// ---------------------------------------------------------------- device table

namespace {

constexpr const char *LOC1 = "http://10.0.0.1:8200/desc.xml";
constexpr const char *LOC2 = "http://10.0.0.2:49152/d.xml";

class Table : public ::testing::Test {
  protected:
    void SetUp() override {
        kvdmc_config("device_max", nullptr); // also clears fake mode; selected again below
        kvdmc_use_fake();
        kvdmc_fake_reset();
        kvdmc_devices_clear();
        g_dev_clock_skew_ms = 0;
    }
    void TearDown() override {
        g_dev_clock_skew_ms = 0;
        kvdmc_devices_clear();
        kvdmc_fake_reset();
    }
    static void serve(const char *loc, const std::string &udn, const char *type,
                      const std::string &friendly = "Box") {
        ASSERT_EQ(kvdmc_fake_set(loc, 200, description(udn, type, friendly).c_str()), 0);
    }
    static int inject(const std::string &pkt) { return kvdmc_fake_ssdp(pkt.c_str(), "10.0.0.1"); }
    static void advance_s(int s) { g_dev_clock_skew_ms += (uint64_t)s * 1000; }
    static const device_t *row(const char *udn) {
        int i = kvdmc_find_device(udn);
        return i < 0 ? nullptr : &g_dev[i];
    }
};

} // namespace

TEST_F(Table, ClassifiesMediaDevicesAndRefusesOthers) {
    serve(LOC1, "uuid:srv", SERVER_TYPE, "Server");
    serve(LOC2, "uuid:rnd", RENDERER_TYPE);
    ASSERT_EQ(
        kvdmc_fake_set("http://h/both.xml", 200,
                       description("uuid:both", "urn:x:device:MediaServer:2 device:MediaRenderer:1").c_str()),
        0);
    ASSERT_EQ(inject(alive("uuid:srv::upnp:rootdevice", LOC1, 100)), 0);
    ASSERT_EQ(inject(reply(RENDERER_TYPE, "uuid:rnd::x", LOC2)), 0);
    ASSERT_EQ(inject(alive("uuid:both", "http://h/both.xml")), 0);
    ASSERT_EQ(kvdmc_device_count(), 3);
    const device_t *s = row("uuid:srv");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->kind, 1);
    EXPECT_STREQ(s->udn_key, "uuid:srv");
    EXPECT_EQ(s->max_age_s, 100);
    EXPECT_EQ(s->desc_ok, 1);
    EXPECT_EQ(s->added_ms, s->fetched_ms);
    EXPECT_EQ(row("uuid:rnd")->kind, 2);
    EXPECT_EQ(row("uuid:both")->kind, 2);

    const char *igd = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";
    serve("http://h/igd.xml", "uuid:igd", igd, "Router");
    EXPECT_EQ(inject(alive("uuid:igd", "http://h/igd.xml")), -9);
    EXPECT_EQ(std::string(kvdmc_last_error()),
              std::string("Router is ") + igd + ": not a media device (Hue-style false positive dropped)");
    serve("http://h/hue.xml", "uuid:hue", "urn:x:device:Basic:1", "");
    EXPECT_EQ(inject(alive("uuid:hue", "http://h/hue.xml")), -9);
    EXPECT_STREQ(kvdmc_last_error(),
                 "uuid:hue is urn:x:device:Basic:1: not a media device (Hue-style false positive dropped)");
    EXPECT_EQ(kvdmc_device_count(), 3);
    // Refused devices are not remembered: the next announcement fetches again.
    EXPECT_EQ(inject(alive("uuid:igd", "http://h/igd.xml")), -9);
    EXPECT_EQ(kvdmc_fake_calls("http://h/igd.xml"), 2u);
}

TEST_F(Table, KnownDeviceRefreshesWithoutFetchingAndExpires) {
    serve(LOC1, "uuid:srv", SERVER_TYPE);
    ASSERT_EQ(inject(alive("uuid:srv", LOC1, 60)), 0);
    advance_s(59);
    EXPECT_EQ(kvdmc_device_count(), 1);
    // A reply from the same device (upper-case USN) refreshes the row.
    ASSERT_EQ(inject(reply(SERVER_TYPE, "uuid:SRV::" + std::string(SERVER_TYPE), LOC1, 60)), 0);
    EXPECT_EQ(kvdmc_fake_calls(LOC1), 1u);
    advance_s(59);
    EXPECT_EQ(kvdmc_device_count(), 1);
    advance_s(1);
    // Look-ups see an expired row until something purges.
    EXPECT_EQ(kvdmc_find_device("uuid:srv"), 0);
    EXPECT_EQ(kvdmc_device_count(), 0);

    // A lifetime of 0 or less never expires.
    ssdp_reply r{};
    strcpy(r.usn, "uuid:srv");
    strcpy(r.location, LOC1);
    r.max_age_s = 0;
    char err[256];
    ASSERT_EQ(devices_add_from_reply(&r, err, sizeof err), 0);
    advance_s(1000000);
    EXPECT_EQ(kvdmc_device_count(), 1);
}

TEST_F(Table, PurgeKeepsLiveRowsWhenExpiredOnesAreMovedIn) {
    for (int i = 0; i < 6; i++) {
        std::string loc = "http://h/" + std::to_string(i);
        serve(loc.c_str(), "uuid:d" + std::to_string(i), SERVER_TYPE);
        ASSERT_EQ(inject(alive("uuid:d" + std::to_string(i), loc, i % 2 ? 60 : 600)), 0);
    }
    advance_s(60);
    EXPECT_EQ(kvdmc_device_count(), 3);
    for (int i = 0; i < 6; i += 2)
        EXPECT_GE(kvdmc_find_device(("uuid:d" + std::to_string(i)).c_str()), 0) << i;
}

TEST_F(Table, DeviceMaxRefusesNewButRefreshesKnown) {
    ASSERT_EQ(kvdmc_config("device_max", "1"), 0);
    serve(LOC1, "uuid:a", SERVER_TYPE);
    serve(LOC2, "uuid:b", RENDERER_TYPE);
    ASSERT_EQ(inject(alive("uuid:a", LOC1, 60)), 0);
    EXPECT_EQ(inject(alive("uuid:b", LOC2)), -9);
    EXPECT_STREQ(kvdmc_last_error(), "device cache full (1)");
    advance_s(30);
    EXPECT_EQ(inject(alive("uuid:a", LOC1, 60)), 0);
    advance_s(45);
    EXPECT_EQ(kvdmc_device_count(), 1);
    EXPECT_EQ(kvdmc_find_device("uuid:b"), -1);
}

TEST_F(Table, ReplyKeysAndFetchFailures) {
    // An empty USN keys the reply by its ST.
    serve(LOC1, "uuid:st-key", SERVER_TYPE);
    ASSERT_EQ(inject(reply("uuid:st-key", "", LOC1)), 0);
    ASSERT_EQ(inject(reply("uuid:st-key", "", LOC1)), 0);
    EXPECT_EQ(kvdmc_fake_calls(LOC1), 1u);
    EXPECT_EQ(inject(reply("", "", LOC1)), -9);
    EXPECT_STREQ(kvdmc_last_error(), "no UDN in reply");
    EXPECT_EQ(inject(reply("x", "::y", LOC1)), -9);
    EXPECT_STREQ(kvdmc_last_error(), "no UDN in reply");

    EXPECT_EQ(inject(alive("uuid:nowhere", "http://h/none")), -9);
    EXPECT_STREQ(kvdmc_last_error(), "description fetch failed: fake: no route for this URL");
    ASSERT_EQ(kvdmc_fake_fail("http://h/fail", "connection refused"), 0);
    EXPECT_EQ(inject(alive("uuid:f", "http://h/fail")), -9);
    EXPECT_STREQ(kvdmc_last_error(), "description fetch failed: connection refused");
    ASSERT_EQ(kvdmc_fake_set("http://h/bad", 200, "<root><UDN>uuid:q</UDN></root>"), 0);
    EXPECT_EQ(inject(alive("uuid:q", "http://h/bad")), -9);
    EXPECT_STREQ(kvdmc_last_error(), "description has no deviceType");
    // A UDN whose key is empty could never be addressed.
    ASSERT_EQ(kvdmc_fake_set("http://h/nokey", 200, description("::x", SERVER_TYPE).c_str()), 0);
    EXPECT_EQ(inject(alive("uuid:k", "http://h/nokey")), -9);
    EXPECT_STREQ(kvdmc_last_error(), "description has no UDN");
    // The HTTP status is not judged.
    ASSERT_EQ(kvdmc_fake_set(LOC2, 404, description("uuid:s404", SERVER_TYPE).c_str()), 0);
    EXPECT_EQ(inject(alive("uuid:s404", LOC2)), 0);
    EXPECT_EQ(kvdmc_device_count(), 2);
}

TEST_F(Table, MismatchedUsnRefreshesTheUdnRowInsteadOfAddingOne) {
    serve(LOC1, "uuid:real-udn", SERVER_TYPE);
    ASSERT_EQ(inject(alive("uuid:other-usn::upnp:rootdevice", LOC1, 60)), 0);
    advance_s(40);
    ASSERT_EQ(inject(alive("uuid:other-usn::upnp:rootdevice", LOC1, 60)), 0);
    EXPECT_EQ(kvdmc_fake_calls(LOC1), 1u); // the row remembers the key it was announced under
    EXPECT_EQ(kvdmc_device_count(), 1);
    advance_s(40);
    EXPECT_EQ(kvdmc_device_count(), 1); // refreshed by the second announcement

    // Also when the table is full.
    ASSERT_EQ(kvdmc_config("device_max", "1"), 0);
    ASSERT_EQ(inject(reply(SERVER_TYPE, "", LOC1, 60)), 0);
    EXPECT_EQ(kvdmc_device_count(), 1);
}

TEST_F(Table, ByebyeUnderEitherFormRemovesTheRowOfAMismatchedUsn) {
    struct {
        const char *nt, *usn;
    } byes[] = {
        {"upnp:rootdevice", "uuid:other-usn::upnp:rootdevice"}, // as it announced itself
        {SERVER_TYPE, "uuid:OTHER-USN::urn:schemas-upnp-org:device:MediaServer:1"},
        {"uuid:other-usn", ""},                                // by NT alone
        {"upnp:rootdevice", "uuid:real-udn::upnp:rootdevice"}, // by its UDN
    };
    serve(LOC1, "uuid:real-udn", SERVER_TYPE);
    for (const auto &b : byes) {
        SCOPED_TRACE(std::string(b.nt) + " " + b.usn);
        ASSERT_EQ(inject(alive("uuid:other-usn::upnp:rootdevice", LOC1, 60)), 0);
        ASSERT_EQ(kvdmc_device_count(), 1);
        EXPECT_EQ(inject(byebye(b.nt, b.usn)), 0);
        EXPECT_EQ(kvdmc_device_count(), 0);
        EXPECT_EQ(kvdmc_find_device("uuid:real-udn"), -1);
    }
}

TEST_F(Table, MovedDeviceIsReadAgain) {
    serve(LOC1, "uuid:mover", SERVER_TYPE, "Old name");
    ASSERT_EQ(inject(alive("uuid:mover", LOC1, 60)), 0);
    serve(LOC2, "uuid:mover", RENDERER_TYPE, "New name");
    advance_s(30);
    // The device is no longer at its old LOCATION: the move is followed.
    kvdmc_fake_fail(LOC1, "connection refused");
    ASSERT_EQ(inject(alive("uuid:mover", LOC2, 60)), 0) << kvdmc_last_error();
    ASSERT_EQ(kvdmc_device_count(), 1);
    const device_t *d = row("uuid:mover");
    EXPECT_STREQ(d->location, LOC2);
    EXPECT_STREQ(d->friendly, "New name");
    EXPECT_EQ(d->kind, 2);
    EXPECT_STREQ(d->svc[0].control, "http://10.0.0.2:49152/ctl/cds");
    EXPECT_EQ(kvdmc_fake_calls(LOC2), 1u);
    // The same LOCATION, or none, never fetches.
    ASSERT_EQ(inject(alive("uuid:mover", LOC2, 60)), 0);
    ASSERT_EQ(inject(ssdp_lines("NOTIFY * HTTP/1.1", {"NT: upnp:rootdevice", "NTS: ssdp:alive",
                                                      "USN: uuid:mover", "CACHE-CONTROL: max-age=60"})),
              0);
    EXPECT_EQ(kvdmc_fake_calls(LOC2), 1u);
    EXPECT_EQ(kvdmc_fake_calls(nullptr), 3u); // the old LOCATION was asked once

    // A move whose fetch fails leaves the row as it was, unrefreshed, so it expires.
    advance_s(30);
    kvdmc_fake_fail(LOC2, "connection refused");
    EXPECT_EQ(inject(alive("uuid:mover", "http://10.0.0.3/gone.xml", 60)), -9);
    EXPECT_STREQ(row("uuid:mover")->location, LOC2);
    advance_s(30);
    EXPECT_EQ(kvdmc_device_count(), 0);
}

TEST_F(Table, MoveToAnotherDevicesDescriptionLeavesTheRow) {
    serve(LOC1, "uuid:a", SERVER_TYPE);
    serve(LOC2, "uuid:b", SERVER_TYPE);
    ASSERT_EQ(inject(alive("uuid:a", LOC1, 60)), 0);
    kvdmc_fake_fail(LOC1, "connection refused");
    serve("http://h/igd", "uuid:a", "urn:x:device:InternetGatewayDevice:1");
    EXPECT_EQ(inject(alive("uuid:a", "http://h/igd", 60)), -9);
    EXPECT_EQ(row("uuid:a")->kind, 1);
    // The new LOCATION serves device b: b gets its own row, a is left to expire.
    advance_s(30);
    ASSERT_EQ(inject(alive("uuid:a", LOC2, 60)), 0);
    EXPECT_EQ(kvdmc_device_count(), 2);
    EXPECT_STREQ(row("uuid:a")->location, LOC1);
    advance_s(30);
    EXPECT_EQ(kvdmc_device_count(), 1);
    EXPECT_GE(kvdmc_find_device("uuid:b"), 0);
}

TEST_F(Table, EveryMediaDeviceOfADescriptionIsARow) {
    const std::string id = "RINCON_000E58A0B1C2";
    const std::string ms = "uuid:" + id + "_MS", mr = "uuid:" + id + "_MR";
    ASSERT_EQ(kvdmc_fake_set(SPEAKER_LOC, 200, speaker_description(id).c_str()), 0);
    ASSERT_EQ(inject(alive("uuid:" + id + "::upnp:rootdevice", SPEAKER_LOC, 60)), 0);
    ASSERT_EQ(kvdmc_device_count(), 2);
    EXPECT_EQ(row(ms.c_str())->kind, 1);
    EXPECT_EQ(row(mr.c_str())->kind, 2);
    EXPECT_EQ(row(("uuid:" + id).c_str()), nullptr); // the vendor root is no row
    // The renderer carries its own transport, not the root's vendor services.
    const device_t *r = row(mr.c_str());
    ASSERT_EQ(r->nsvc, 5);
    EXPECT_STREQ(r->svc[2].type, "urn:schemas-upnp-org:service:AVTransport:1");
    EXPECT_STREQ(r->svc[2].control, "http://192.168.1.30:1400/MediaRenderer/AVTransport/Control");
    EXPECT_STREQ(row(ms.c_str())->friendly, "Kitchen Media");

    struct {
        const char *what;
        std::string pkt;
    } refreshers[] = {
        {"renderer by type", announce(mr, RENDERER_TYPE, SPEAKER_LOC)},
        {"server by type", announce(ms, SERVER_TYPE, SPEAKER_LOC)},
        {"renderer by UDN", alive(mr, SPEAKER_LOC, 60)},
        {"a service of the server",
         alive(ms + "::urn:schemas-upnp-org:service:ContentDirectory:1", SPEAKER_LOC, 60)},
        {"the root", alive("uuid:" + id, SPEAKER_LOC, 60)},
        {"renderer without LOCATION",
         ssdp_lines("NOTIFY * HTTP/1.1",
                    {"NT: " + mr, "NTS: ssdp:alive", "USN: " + mr, "CACHE-CONTROL: max-age=60"})},
    };
    for (const auto &f : refreshers) {
        SCOPED_TRACE(f.what);
        advance_s(50);
        ASSERT_EQ(inject(f.pkt), 0) << kvdmc_last_error();
        advance_s(50); // both rows expire unless the announcement refreshed both
        EXPECT_EQ(kvdmc_device_count(), 2);
        EXPECT_EQ(kvdmc_fake_calls(SPEAKER_LOC), 1u);
    }

    // A byebye takes only its own device; its return is read again.
    ASSERT_EQ(inject(byebye(RENDERER_TYPE, mr + "::" + RENDERER_TYPE)), 0);
    EXPECT_EQ(kvdmc_device_count(), 1);
    EXPECT_GE(kvdmc_find_device(ms.c_str()), 0);
    ASSERT_EQ(inject(alive(mr, SPEAKER_LOC, 60)), 0); // plain UDN: the server's row is refreshed
    EXPECT_EQ(kvdmc_fake_calls(SPEAKER_LOC), 1u);
    ASSERT_EQ(inject(announce(mr, RENDERER_TYPE, SPEAKER_LOC)), 0) << kvdmc_last_error();
    EXPECT_EQ(kvdmc_fake_calls(SPEAKER_LOC), 2u);
    EXPECT_EQ(kvdmc_device_count(), 2);
    EXPECT_EQ(row(mr.c_str())->kind, 2);
    // Each device announcing itself afterwards finds its row without a fetch.
    ASSERT_EQ(inject(announce(ms, SERVER_TYPE, SPEAKER_LOC)), 0);
    ASSERT_EQ(inject(announce(mr, RENDERER_TYPE, SPEAKER_LOC)), 0);
    EXPECT_EQ(kvdmc_fake_calls(SPEAKER_LOC), 2u);
}

TEST_F(Table, EmbeddedDevicesAnnounceFirstMoveTogetherAndFitWhole) {
    const std::string id = "5f9ec1b3-0001";
    const std::string rend = "uuid:" + id + "-renderer", srv = "uuid:" + id + "-server";
    ASSERT_EQ(
        kvdmc_fake_set(RECEIVER_LOC, 200, receiver_description(id, "http://192.168.1.40:60006/").c_str()), 0);
    // The receiver's renderer announces first: both its devices become rows.
    ASSERT_EQ(inject(announce(rend, RENDERER_TYPE, RECEIVER_LOC)), 0);
    ASSERT_EQ(kvdmc_device_count(), 2);
    EXPECT_EQ(row(rend.c_str())->kind, 2);
    EXPECT_EQ(row(srv.c_str())->kind, 1);
    ASSERT_EQ(inject(announce(srv, SERVER_TYPE, RECEIVER_LOC)), 0);
    EXPECT_EQ(kvdmc_fake_calls(RECEIVER_LOC), 1u);

    // Moved: the server's announcement at the new LOCATION reads both again once the
    // old one no longer answers.
    const char *moved = "http://192.168.1.41:60006/upnp/desc/aios_device/aios_device.xml";
    ASSERT_EQ(kvdmc_fake_set(moved, 200, receiver_description(id, "http://192.168.1.41:60006/").c_str()), 0);
    EXPECT_EQ(inject(announce(srv, SERVER_TYPE, moved)), -9);
    EXPECT_EQ(std::string(kvdmc_last_error()), "device " + srv + " still answers at " + RECEIVER_LOC);
    kvdmc_fake_fail(RECEIVER_LOC, "connection refused");
    ASSERT_EQ(inject(announce(srv, SERVER_TYPE, moved)), 0) << kvdmc_last_error();
    EXPECT_EQ(kvdmc_device_count(), 2);
    EXPECT_STREQ(row(rend.c_str())->location, moved);
    EXPECT_STREQ(row(srv.c_str())->svc[0].control,
                 "http://192.168.1.41:60006/upnp/server/ContentDirectory/Control");

    // A tuner box is four rows against device_max: all of them enter or none.
    ASSERT_EQ(kvdmc_fake_set("http://10.0.0.7/desc.xml", 200, tuner_description("tv", 4).c_str()), 0);
    ASSERT_EQ(kvdmc_config("device_max", "5"), 0);
    EXPECT_EQ(inject(alive("uuid:tv", "http://10.0.0.7/desc.xml")), -9);
    EXPECT_STREQ(kvdmc_last_error(), "device cache full (5)");
    EXPECT_EQ(kvdmc_device_count(), 2);
    ASSERT_EQ(kvdmc_config("device_max", "6"), 0);
    ASSERT_EQ(inject(alive("uuid:tv", "http://10.0.0.7/desc.xml")), 0);
    EXPECT_EQ(kvdmc_device_count(), 6);
    for (int k = 1; k <= 4; k++) EXPECT_EQ(row(("uuid:tv-tuner" + std::to_string(k)).c_str())->kind, 1);

    // A router holds no media device at all.
    ASSERT_EQ(kvdmc_config("device_max", "7"), 0);
    ASSERT_EQ(kvdmc_fake_set("http://10.0.0.1:5000/igd.xml", 200, router_description("gw").c_str()), 0);
    EXPECT_EQ(inject(alive("uuid:gw", "http://10.0.0.1:5000/igd.xml")), -9);
    EXPECT_STREQ(kvdmc_last_error(),
                 "Home Router is urn:schemas-upnp-org:device:InternetGatewayDevice:1: not a "
                 "media device (Hue-style false positive dropped)");
}

TEST_F(Table, ImpostorTreeIsRefusedWhole) {
    ASSERT_EQ(kvdmc_fake_set(SPEAKER_LOC, 200, speaker_description("A").c_str()), 0);
    ASSERT_EQ(inject(alive("uuid:A", SPEAKER_LOC)), 0);
    // Another host describes a tree whose renderer claims the speaker's.
    device evil;
    evil.udn = "uuid:evil";
    evil.type = "urn:x:device:Root:1";
    device fresh_srv, stolen;
    fresh_srv.udn = "uuid:evil_MS";
    stolen.udn = "uuid:A_MR";
    stolen.type = RENDERER_TYPE;
    evil.embedded = {fresh_srv, stolen};
    ASSERT_EQ(kvdmc_fake_set("http://10.0.0.66/e.xml", 200, description(evil).c_str()), 0);
    EXPECT_EQ(inject(alive("uuid:evil", "http://10.0.0.66/e.xml")), -9);
    EXPECT_STREQ(kvdmc_last_error(), "UDN uuid:A_MR already claimed by another device");
    EXPECT_EQ(kvdmc_device_count(), 2);
    EXPECT_STREQ(row("uuid:A_MR")->location, SPEAKER_LOC);
}

TEST_F(Table, FindForgetClearAndByebye) {
    serve(LOC1, "uuid:One", SERVER_TYPE);
    serve(LOC2, "uuid:two", RENDERER_TYPE);
    serve("http://h/3", "uuid:three", RENDERER_TYPE);
    ASSERT_EQ(inject(alive("uuid:One", LOC1)), 0);
    ASSERT_EQ(inject(alive("uuid:two", LOC2)), 0);
    ASSERT_EQ(inject(alive("uuid:three", "http://h/3")), 0);
    kvdmc_config("no such key", "x"); // leaves a last code of -10 behind
    EXPECT_EQ(kvdmc_find_device("UUID:ONE"), 0);
    EXPECT_EQ(kvdmc_find_device(("uuid:one::" + std::string(SERVER_TYPE)).c_str()), 0);
    EXPECT_EQ(kvdmc_find_device("uuid:none"), -1);
    EXPECT_EQ(kvdmc_find_device(nullptr), -1);
    EXPECT_STREQ(kvdmc_last_error(), "find_device: null udn");

    // Forgetting moves the last row into the freed place.
    EXPECT_EQ(kvdmc_forget("uuid:one"), 0);
    EXPECT_EQ(kvdmc_find_device("uuid:three"), 0);
    EXPECT_EQ(kvdmc_forget("uuid:one"), KVDMC_E_UNKNOWN);
    EXPECT_STREQ(kvdmc_last_error(), "forget: unknown udn");
    EXPECT_EQ(kvdmc_forget(nullptr), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "forget: null udn");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_ARG);

    // A byebye removes by USN, or by NT when the USN is empty; unknown ones change nothing.
    EXPECT_EQ(inject(byebye("upnp:rootdevice", "uuid:TWO::upnp:rootdevice")), 0);
    EXPECT_EQ(inject(byebye("uuid:zzz", "")), 0);
    EXPECT_EQ(kvdmc_device_count(), 1);
    EXPECT_EQ(inject(byebye("uuid:three", "")), 0);
    EXPECT_EQ(kvdmc_device_count(), 0);

    ASSERT_EQ(inject(alive("uuid:two", LOC2)), 0);
    kvdmc_devices_clear();
    EXPECT_EQ(kvdmc_device_count(), 0);
    EXPECT_EQ(kvdmc_forget("uuid:two"), KVDMC_E_UNKNOWN);
}

TEST_F(Table, DiscoverValidatesAndRefusesInFakeMode) {
    EXPECT_EQ(kvdmc_discover(0, 1000), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "discover: kind must be 1, 2 or 3");
    EXPECT_EQ(kvdmc_discover(4, 1000), KVDMC_E_ARG);
    EXPECT_EQ(kvdmc_discover(1, 99), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "discover: timeout_ms must be 100..30000");
    EXPECT_EQ(kvdmc_discover(1, 30001), KVDMC_E_ARG);

    serve(LOC1, "uuid:short", SERVER_TYPE);
    ASSERT_EQ(inject(alive("uuid:short", LOC1, 60)), 0);
    advance_s(60);
    kvdmc_config("no such key", "x");
    EXPECT_EQ(kvdmc_discover(3, 100), KVDMC_E_FAKE);
    EXPECT_STREQ(kvdmc_last_error(), "ssdp disabled (fake mode): inject packets with kvdmc_fake_ssdp");
    EXPECT_EQ(kvdmc_discover(1, 30000), KVDMC_E_FAKE);
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_FAKE);
    plat_guard g(&g_lock);
    EXPECT_EQ(g_ndev, 0); // purged before refusing
}

// Injection on one thread, look-ups and removals on another: the table stays whole.
TEST_F(Table, ConcurrentInjectionAndLookups) {
    for (int i = 0; i < 8; i++) {
        std::string loc = "http://h/c" + std::to_string(i);
        serve(loc.c_str(), "uuid:c" + std::to_string(i), SERVER_TYPE);
    }
    std::thread injector([] {
        for (int round = 0; round < 50; round++)
            for (int i = 0; i < 8; i++)
                inject(alive("uuid:c" + std::to_string(i), "http://h/c" + std::to_string(i)));
    });
    int bad = 0;
    for (int round = 0; round < 400; round++) {
        int n = kvdmc_device_count();
        if (n < 0 || n > 8) bad++;
        kvdmc_forget(("uuid:c" + std::to_string(round % 8)).c_str());
        kvdmc_find_device("uuid:c3");
    }
    injector.join();
    EXPECT_EQ(bad, 0);
    plat_guard g(&g_lock);
    for (int i = 0; i < g_ndev; i++)
        for (int j = i + 1; j < g_ndev; j++) EXPECT_STRNE(g_dev[i].udn_key, g_dev[j].udn_key);
}

// ---------------------------------------------------------------- the table over a host transport

namespace {

// Counts what the component hands back and answers from a few fixed fields.
struct host_io {
    int rc = 0;
    const char *body = nullptr;
    const char *err = nullptr;
    int gets = 0, frees = 0;
    static char *dup(const char *s) { return s ? strdup(s) : nullptr; }
    static int get(void *ctx, const char *, char **out_body, int *code, char **out_err) {
        host_io *h = (host_io *)ctx;
        h->gets++;
        *out_body = dup(h->body);
        *out_err = dup(h->err);
        *code = 200;
        return h->rc;
    }
    static void release(void *ctx, void *p) {
        ((host_io *)ctx)->frees++;
        free(p);
    }
    quorlin_io record() { return quorlin_io{this, get, nullptr, release}; }
};

class HostTable : public ::testing::Test {
  protected:
    void SetUp() override { kvdmc_devices_clear(); }
    void TearDown() override {
        kvdmc_devices_clear();
        kvdmc_set_io(nullptr);
    }
    static int add(const char *usn, const char *loc, std::string *msg) {
        ssdp_reply r{};
        strcpy(r.usn, usn);
        strcpy(r.location, loc);
        r.max_age_s = 1800;
        char err[256] = "";
        int rc = devices_add_from_reply(&r, err, sizeof err);
        *msg = err;
        return rc;
    }
};

} // namespace

TEST_F(HostTable, EveryHandedOutTextIsReleasedOnce) {
    host_io h;
    std::string desc = description("uuid:h", SERVER_TYPE);
    quorlin_io rec = h.record();
    ASSERT_EQ(kvdmc_set_io(&rec), 0);
    std::string msg;

    h.rc = 0, h.body = desc.c_str(), h.err = "warning"; // success with an error text
    EXPECT_EQ(add("uuid:h", LOC1, &msg), 0);
    EXPECT_EQ(h.frees, 2);
    h.rc = 7, h.body = desc.c_str(), h.err = "boom"; // failure with both
    EXPECT_EQ(add("uuid:x", LOC2, &msg), -1);
    EXPECT_EQ(msg, "description fetch failed: boom");
    EXPECT_EQ(h.frees, 4);
    h.rc = 0, h.body = nullptr, h.err = nullptr; // success without a body
    EXPECT_EQ(add("uuid:x", LOC2, &msg), -1);
    EXPECT_EQ(msg, "description fetch failed: transport error");
    h.rc = 0, h.body = "<not a description/>", h.err = nullptr;
    EXPECT_EQ(add("uuid:x", LOC2, &msg), -1);
    EXPECT_EQ(msg, "description has no UDN");
    EXPECT_EQ(h.frees, 5);
    EXPECT_EQ(h.gets, 4);

    // A record without http_get counts as no transport.
    rec.http_get = nullptr;
    ASSERT_EQ(kvdmc_set_io(&rec), 0);
    EXPECT_EQ(add("uuid:x", LOC2, &msg), -1);
    EXPECT_EQ(msg, "no quorlin_io backend");
    EXPECT_EQ(h.gets, 4);
    EXPECT_EQ(kvdmc_device_count(), 1);
}
