// Device description parsing beside libxml2 and pugixml, and discovery of a
// full table through the fake transport.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <pugixml.hpp>
#include <string.h>

#include <string>
#include <vector>

#include "upnp/discover.h"
#include "base/exports.h"
#include "kvdmc.h"
#include "tests/helpers/docs.h"
#include "base/text.h"

namespace {

// Distinct media-server descriptions for filling the table.
std::string make_description(int i) {
    std::string n = std::to_string(i);
    docs::device d;
    d.udn = "uuid:4d696e69-444c-164e-9d41-" + std::string(12 - n.size(), '0') + n;
    d.fields = {{"friendlyName", "Media server " + n + ": library &amp; music"},
                {"manufacturer", "Example Maker"},
                {"manufacturerURL", "http://www.example.com/"},
                {"modelDescription", "Media Server"},
                {"modelName", "Server " + n},
                {"modelNumber", "1.3.0"},
                {"serialNumber", "00000000"}};
    d.after_udn = "<dlna:X_DLNADOC xmlns:dlna=\"urn:schemas-dlna-org:device-1-0\">DMS-1.50</dlna:X_DLNADOC>"
                  "<presentationURL>http://10.0.0.1:8200/</presentationURL><iconList>";
    for (int k = 0; k < 4; k++)
        d.after_udn +=
            "<icon><mimetype>image/png</mimetype><width>48</width><height>48</height><depth>24</depth>"
            "<url>/icons/sm" +
            std::to_string(k) + ".png</url></icon>";
    d.after_udn += "</iconList>";
    const char *svcs[][2] = {{"ContentDirectory:1", "/ctl/ContentDir"},
                             {"ConnectionManager:1", "/ctl/ConnectionMgr"},
                             {"X_MS_MediaReceiverRegistrar:1", "/ctl/X_MS_MediaReceiverRegistrar"}};
    for (auto &s : svcs) {
        docs::service svc = docs::named_service(s[0]);
        svc.control = s[1];
        d.services += docs::service_xml(svc);
    }
    d.before_device = docs::SPEC_VERSION;
    d.decl_break = "\r\n";
    d.trailer = "\r\n";
    return docs::description(d);
}

const char *LOCATION = "http://10.0.0.1:8200/rootDesc.xml";

// The fields every parser extracts.
struct fields {
    char udn[80], type[128], friendly[128], manufacturer[128], model[128];
    struct {
        char type[128], id[128], control[256];
    } svc[8];
    int nsvc;
};

void BM_DescParse(benchmark::State &st) {
    api_enter();
    std::string doc = docs::typical_server_description();
    device_t d;
    char err[256];
    for (auto _ : st) {
        memset(&d, 0, sizeof d);
        if (desc_parse(doc.c_str(), LOCATION, &d, err, sizeof err) != 0 || d.nsvc != 3 ||
            strcmp(d.udn + 29, "b827eb5fa3c2") != 0)
            st.SkipWithError(err);
        benchmark::DoNotOptimize(d);
    }
    st.counters["descriptions/s"] = benchmark::Counter((double)st.iterations(), benchmark::Counter::kIsRate);
    st.SetBytesProcessed((int64_t)(st.iterations() * doc.size()));
}
BENCHMARK(BM_DescParse);

void lx_text(xmlNode *n, char *out, size_t cap) {
    xmlChar *t = xmlNodeGetContent(n);
    str_copy(out, cap, (const char *)t);
    xmlFree(t);
}

void lx_walk(xmlNode *n, fields &f) {
    for (; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE) continue;
        const char *nm = (const char *)n->name;
        if (strcmp(nm, "service") == 0 && f.nsvc < 8) {
            auto &s = f.svc[f.nsvc++];
            for (xmlNode *c = n->children; c; c = c->next) {
                if (c->type != XML_ELEMENT_NODE) continue;
                const char *cn = (const char *)c->name;
                if (strcmp(cn, "serviceType") == 0)
                    lx_text(c, s.type, sizeof s.type);
                else if (strcmp(cn, "serviceId") == 0)
                    lx_text(c, s.id, sizeof s.id);
                else if (strcmp(cn, "controlURL") == 0)
                    lx_text(c, s.control, sizeof s.control);
            }
            continue;
        }
        if (strcmp(nm, "UDN") == 0)
            lx_text(n, f.udn, sizeof f.udn);
        else if (strcmp(nm, "deviceType") == 0)
            lx_text(n, f.type, sizeof f.type);
        else if (strcmp(nm, "friendlyName") == 0)
            lx_text(n, f.friendly, sizeof f.friendly);
        else if (strcmp(nm, "manufacturer") == 0)
            lx_text(n, f.manufacturer, sizeof f.manufacturer);
        else if (strcmp(nm, "modelName") == 0)
            lx_text(n, f.model, sizeof f.model);
        else
            lx_walk(n->children, f);
    }
}

void BM_Libxml2Dom(benchmark::State &st) {
    std::string doc = docs::typical_server_description();
    fields f;
    for (auto _ : st) {
        memset(&f, 0, sizeof f);
        xmlDoc *x = xmlReadMemory(doc.data(), (int)doc.size(), "d.xml", nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOBLANKS);
        lx_walk(xmlDocGetRootElement(x), f);
        xmlFreeDoc(x);
        if (f.nsvc != 3 || strcmp(f.udn + 29, "b827eb5fa3c2") != 0) st.SkipWithError("libxml2: fields");
        benchmark::DoNotOptimize(f);
    }
    st.counters["descriptions/s"] = benchmark::Counter((double)st.iterations(), benchmark::Counter::kIsRate);
    st.SetBytesProcessed((int64_t)(st.iterations() * doc.size()));
}
BENCHMARK(BM_Libxml2Dom);

void pg_walk(pugi::xml_node n, fields &f) {
    for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling()) {
        if (c.type() != pugi::node_element) continue;
        const char *nm = c.name();
        if (strcmp(nm, "service") == 0 && f.nsvc < 8) {
            auto &s = f.svc[f.nsvc++];
            str_copy(s.type, sizeof s.type, c.child_value("serviceType"));
            str_copy(s.id, sizeof s.id, c.child_value("serviceId"));
            str_copy(s.control, sizeof s.control, c.child_value("controlURL"));
            continue;
        }
        if (strcmp(nm, "UDN") == 0)
            str_copy(f.udn, sizeof f.udn, c.child_value());
        else if (strcmp(nm, "deviceType") == 0)
            str_copy(f.type, sizeof f.type, c.child_value());
        else if (strcmp(nm, "friendlyName") == 0)
            str_copy(f.friendly, sizeof f.friendly, c.child_value());
        else if (strcmp(nm, "manufacturer") == 0)
            str_copy(f.manufacturer, sizeof f.manufacturer, c.child_value());
        else if (strcmp(nm, "modelName") == 0)
            str_copy(f.model, sizeof f.model, c.child_value());
        else
            pg_walk(c, f);
    }
}

void BM_Pugixml(benchmark::State &st) {
    std::string doc = docs::typical_server_description();
    fields f;
    for (auto _ : st) {
        memset(&f, 0, sizeof f);
        pugi::xml_document x;
        x.load_buffer(doc.data(), doc.size());
        pg_walk(x, f);
        if (f.nsvc != 3 || strcmp(f.udn + 29, "b827eb5fa3c2") != 0) st.SkipWithError("pugixml: fields");
        benchmark::DoNotOptimize(f);
    }
    st.counters["descriptions/s"] = benchmark::Counter((double)st.iterations(), benchmark::Counter::kIsRate);
    st.SetBytesProcessed((int64_t)(st.iterations() * doc.size()));
}
BENCHMARK(BM_Pugixml);

// Time to fill an empty table from 64 alive NOTIFYs with 64 distinct descriptions.
void BM_Discover64Fake(benchmark::State &st) {
    kvdmc_use_fake();
    kvdmc_fake_reset();
    std::vector<std::string> packets;
    for (int i = 0; i < 64; i++) {
        std::string loc = "http://10.0.1." + std::to_string(i) + ":8200/rootDesc.xml";
        kvdmc_fake_set(loc.c_str(), 200, make_description(i).c_str());
        std::string n = std::to_string(i);
        docs::notify_fields f;
        f.location = loc;
        f.nt = docs::SERVER_TYPE;
        f.server = "Linux/6 UPnP/1.0 Server/1.3";
        f.usn =
            "uuid:4d696e69-444c-164e-9d41-" + std::string(12 - n.size(), '0') + n + "::" + docs::SERVER_TYPE;
        packets.push_back(docs::notify(f));
    }
    for (auto _ : st) {
        kvdmc_devices_clear();
        for (const std::string &p : packets)
            if (kvdmc_fake_ssdp(p.c_str(), "10.0.1.1") != 0) st.SkipWithError(kvdmc_last_error());
        if (kvdmc_device_count() != 64) st.SkipWithError("table not full");
    }
    st.counters["devices/s"] = benchmark::Counter((double)st.iterations() * 64, benchmark::Counter::kIsRate);
    kvdmc_devices_clear();
    kvdmc_fake_reset();
}
BENCHMARK(BM_Discover64Fake)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
