// The SOAP action client against a scripted transport: request text, argument
// gathering, faults by status, and the release of every transport buffer.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "upnp/soap.h"
#include "base/text.h"
#include "http/io_http.h"
#include "helpers/cd_server.h"
#include "helpers/docs.h"
#include "base/exports.h"
#include "kvdmc.h"
#include "parse/xml.h"

using cdtest::reply;
using cdtest::request;

namespace {

const char *CTL = "http://10.0.0.9:8200/ctl/ContentDir";

device_t make_device() {
    device_t d;
    memset(&d, 0, sizeof d);
    str_copy(d.udn, sizeof d.udn, "uuid:soap-1");
    str_copy(d.location, sizeof d.location, "http://10.0.0.9:8200/rootDesc.xml");
    auto add = [&](const char *type, const char *ctl) {
        device_service &s = d.svc[d.nsvc++];
        str_copy(s.type, sizeof s.type, type);
        str_copy(s.control, sizeof s.control, ctl);
    };
    add("urn:schemas-upnp-org:service:ConnectionManager:1", "http://10.0.0.9:8200/ctl/ConnectionMgr");
    add("urn:schemas-upnp-org:service:ContentDirectory:1", CTL);
    add("urn:schemas-upnp-org:service:AVTransport:2", "http://10.0.0.9:8200/ctl/AVT");
    return d;
}

// A response as one line without encodingStyle, which the reader must take as well.
std::string response(const std::string &inner, const char *action = "Browse") {
    return docs::action_response(action, "ContentDirectory:1", inner, docs::form::bare);
}

class Soap : public ::testing::Test {
  protected:
    cdtest::server srv;
    device_t dev = make_device();
    quorlin_io io{};
    char err[256] = "";
    int upnp = -99;

    void SetUp() override {
        io = srv.io();
        kvdmc_set_io(&io);
        // The reporting state is the exported functions' to write; no call here may touch it.
        kvdmc_config("no such key", nullptr);
    }
    void TearDown() override { EXPECT_EQ(srv.outstanding(), 0) << "a transport buffer was not released"; }
    void answer(int status, const std::string &body) {
        srv.script = [status, body](const request &, reply *r) {
            r->status = status;
            r->body = body;
            return true;
        };
    }
    int arg(const char *want, char *out, size_t outn) {
        return soap_action_arg(&dev, "ContentDirectory:1", "Browse", "<ObjectID>0</ObjectID>", want, out,
                               outn, &upnp, err, sizeof err);
    }
};

} // namespace

TEST(SoapService, FragmentMatchesTheWholeTailWithCase) {
    device_t d = make_device();
    char out[64];
    EXPECT_EQ(soap_service_url(&d, "AVTransport:1", out, sizeof out), -1);
    ASSERT_EQ(soap_service_url(&d, "AVTransport:2", out, sizeof out), 0);
    EXPECT_STREQ(out, "http://10.0.0.9:8200/ctl/AVT");
    EXPECT_EQ(soap_service_url(&d, "contentdirectory:1", out, sizeof out), -1);
    EXPECT_EQ(soap_service_url(&d, "urn:schemas-upnp-org:service:ContentDirectory:1:x", out, sizeof out), -1);
    char small[8];
    ASSERT_EQ(soap_service_url(&d, "Directory:1", small, sizeof small), 0);
    EXPECT_STREQ(small, "http://");
}

TEST_F(Soap, RequestEnvelopeAndHeadersAreExact) {
    answer(200, response("<Result>x</Result>"));
    char out[32];
    ASSERT_EQ(soap_action_arg(&dev, "ContentDirectory:1", "Browse", "<ObjectID>0</ObjectID><A>&amp;</A>",
                              "Result", out, sizeof out, &upnp, err, sizeof err),
              0)
        << err;
    auto log = srv.requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].url, CTL);
    EXPECT_EQ(log[0].ct, "text/xml; charset=\"utf-8\"\r\n"
                         "SOAPACTION: \"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\"");
    EXPECT_EQ(log[0].body,
              "<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope "
              "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
              "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:Browse "
              "xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\"><ObjectID>0</ObjectID>"
              "<A>&amp;</A></u:Browse></s:Body></s:Envelope>");
    EXPECT_STREQ(out, "x");
    EXPECT_EQ(upnp, 0);
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_CONFIG);
}

TEST_F(Soap, SeveralArgumentsFromOneRequest) {
    std::string big(5000, 'a');
    big += "&lt;tail&gt;";
    answer(200, response("\n  <u:Result>" + big +
                         "</u:Result>\n  <NumberReturned>3</NumberReturned>"
                         "<Nested><TotalMatches>99</TotalMatches></Nested><UpdateID>41<b>2</b></UpdateID>"));
    sbuf_scoped result;
    char nret[32] = "junk", total[32] = "junk", uid[8] = "", missing[8] = "junk";
    soap_out outs[] = {{"Result", nullptr, 0, &result, 0},
                       {"NumberReturned", nret, sizeof nret, nullptr, 0},
                       {"TotalMatches", total, sizeof total, nullptr, 0},
                       {"UpdateID", uid, sizeof uid, nullptr, 0},
                       {"Missing", missing, sizeof missing, nullptr, 0}};
    ASSERT_EQ(soap_action_args(&dev, "ContentDirectory:1", "Browse", "", outs, 5, &upnp, err, sizeof err), 0)
        << err;
    EXPECT_EQ(srv.request_count(), 1u);
    // Joined from several text events, the reference decoded.
    EXPECT_EQ(std::string(result.str()), std::string(5000, 'a') + "<tail>");
    EXPECT_STREQ(nret, "3");
    EXPECT_EQ(outs[1].found, 1);
    // Only direct children of the response element are arguments.
    EXPECT_STREQ(total, "");
    EXPECT_EQ(outs[2].found, 0);
    // The text of nested elements is appended.
    EXPECT_STREQ(uid, "412");
    EXPECT_STREQ(missing, "");
    EXPECT_EQ(outs[4].found, 0);
}

TEST_F(Soap, SingleArgumentFormAndEmptyWant) {
    answer(200, response("<Result>" + std::string(3000, 'r') + "</Result><Other>o</Other>"));
    char out[4000];
    ASSERT_EQ(arg("Result", out, sizeof out), 0);
    EXPECT_EQ(strlen(out), 3000u);
    char cut[10];
    ASSERT_EQ(arg("Result", cut, sizeof cut), 0);
    EXPECT_STREQ(cut, "rrrrrrrrr");
    char none[8] = "junk";
    EXPECT_EQ(arg("", none, sizeof none), 0);
    EXPECT_STREQ(none, "");
    EXPECT_EQ(arg("Absent", none, sizeof none), 0);
    EXPECT_STREQ(none, "");
    // A body that breaks after the argument still yields what was gathered.
    answer(200, "<s:Envelope><s:Body><u:BrowseResponse><Result>kept</Result><<<");
    ASSERT_EQ(arg("Result", out, sizeof out), 0);
    EXPECT_STREQ(out, "kept");
}

TEST_F(Soap, FaultsWithSuccessStatusAndWith500) {
    char out[16];
    for (int status : {200, 500, 501}) {
        SCOPED_TRACE(status);
        answer(status, docs::fault(701, "No such object"));
        upnp = 0;
        EXPECT_EQ(arg("Result", out, sizeof out), KVDMC_E_UPNP);
        EXPECT_STREQ(err, "UPnP error 701: No such object");
        EXPECT_EQ(upnp, 701);
        EXPECT_EQ(kvdmc_last_code(), KVDMC_E_CONFIG);
    }
    answer(200,
           response("<s:Fault><detail><UPnPError><errorCode>402</errorCode></UPnPError></detail></s:Fault>"));
    EXPECT_EQ(arg("Result", out, sizeof out), KVDMC_E_UPNP);
    EXPECT_STREQ(err, "UPnP error 402: SOAP fault");
    EXPECT_EQ(upnp, 402);
}

TEST_F(Soap, StatusFailuresWithoutFault) {
    char out[16];
    struct {
        int status;
        std::string body;
        int code;
    } cases[] = {{500, "<html><body>Internal error</body></html>", -3},
                 {500, response("<Result>x</Result>"), -3},
                 {404, "", -3},
                 {401, docs::fault(701, "x"), -12},
                 {403, docs::fault(701, "x"), -12},
                 {302, "moved", -3}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.status);
        answer(c.status, c.body);
        upnp = -99;
        EXPECT_EQ(arg("Result", out, sizeof out), c.code);
        EXPECT_EQ(std::string(err), "HTTP " + std::to_string(c.status) + " from " + CTL);
        EXPECT_EQ(kvdmc_last_code(), KVDMC_E_CONFIG);
        EXPECT_EQ(upnp, -99) << "upnp_code is untouched when no fault was read";
    }
}

TEST_F(Soap, MissingResponseElementOrBadBody) {
    char out[16];
    // A fault without a UPnPError detail is no response either.
    answer(200,
           "<s:Envelope><s:Body><s:Fault><faultcode>s:Client</faultcode></s:Fault></s:Body></s:Envelope>");
    EXPECT_EQ(arg("Result", out, sizeof out), KVDMC_E_PARSE);
    EXPECT_STREQ(err, "SOAP Browse: no BrowseResponse in the response");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_CONFIG);
    EXPECT_EQ(upnp, 0);

    answer(200, "<!DOCTYPE x><x/>");
    EXPECT_EQ(arg("Result", out, sizeof out), KVDMC_E_PARSE);
    EXPECT_STREQ(err, "DOCTYPE not allowed");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_CONFIG);

    // Too large for the reader: the pager is told so.
    answer(200, response("<Result>" + std::string(XML_MAX_DOC, 'z') + "</Result>"));
    int too_large = 0;
    EXPECT_EQ(
        soap_call(&dev, "ContentDirectory:1", "Browse", "", nullptr, 0, &upnp, &too_large, err, sizeof err),
        KVDMC_E_PARSE);
    EXPECT_EQ(too_large, 1);
    EXPECT_STREQ(err, "xml over 262144 bytes");
}

TEST_F(Soap, EarlyFailuresAndTransportErrors) {
    char out[16];
    EXPECT_EQ(soap_action_arg(&dev, "RenderingControl:1", "GetVolume", "", "CurrentVolume", out, sizeof out,
                              &upnp, err, sizeof err),
              KVDMC_E_ARG);
    EXPECT_STREQ(err, "device has no RenderingControl:1 service");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_CONFIG);

    srv.script = [](const request &, reply *r) {
        r->rc = -1;
        r->err = "connection refused";
        return true;
    };
    EXPECT_EQ(arg("Result", out, sizeof out), KVDMC_E_NET);
    EXPECT_STREQ(err, "transport: connection refused");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_CONFIG);

    srv.script = [](const request &, reply *r) {
        r->rc = 7;
        return true;
    };
    EXPECT_EQ(arg("Result", out, sizeof out), KVDMC_E_NET);
    EXPECT_STREQ(err, "transport: failed");

    // Success without a body is a failure; an error text beside a body is released.
    srv.script = [](const request &, reply *r) {
        r->no_body = true;
        return true;
    };
    EXPECT_EQ(arg("Result", out, sizeof out), KVDMC_E_NET);
    EXPECT_STREQ(err, "transport: failed");
    srv.script = [](const request &, reply *r) {
        r->body = response("<Result>ok</Result>");
        r->err = "warning";
        return true;
    };
    EXPECT_EQ(arg("Result", out, sizeof out), 0);
    EXPECT_STREQ(out, "ok");

    // A record without POST counts as no transport.
    quorlin_io get_only = io;
    get_only.http_post = nullptr;
    kvdmc_set_io(&get_only);
    EXPECT_EQ(arg("Result", out, sizeof out), KVDMC_E_ARG);
    EXPECT_STREQ(err, "no quorlin_io backend");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_CONFIG);
}

// The built-in transports hand out heap buffers, and the long argument is then decoded over
// the body itself, which becomes its buffer. Whatever a response holds, the arguments read
// the same as from a host's transport, whose buffers are only ever given back.
namespace {
quorlin_io s_host;
const char *s_heap_body = nullptr; // the last body handed out
int heap_post(void *, const char *url, const char *body, const char *ct, char **out, int *code, char **err) {
    char *theirs = nullptr;
    int r = s_host.http_post(s_host.ctx, url, body, ct, &theirs, code, err);
    if (theirs) {
        *out = strdup(theirs);
        s_heap_body = *out;
        s_host.free_buf(s_host.ctx, theirs);
    }
    return r;
}
} // namespace

TEST_F(Soap, ArgumentsReadTheSameFromAHeapBody) {
    std::string refs;
    for (int i = 0; i < 300; i++) refs += "&lt;item id=&quot;" + std::to_string(i) + "&quot;/&gt;";
    const std::string inners[] = {
        "<Result>" + refs + "</Result><NumberReturned>3</NumberReturned>",
        "<Result></Result><NumberReturned>0</NumberReturned>",
        "<Result>a&amp;b<![CDATA[<c>]]>d&lt;</Result>",
        "<Result>first&lt;</Result><NumberReturned>1</NumberReturned><Result>&gt;second</Result>",
        "<Result>x<i>y</i>z</Result><Result>" + refs + "</Result>",
        "<NumberReturned>2</NumberReturned><Result>&#233;&#x1F600; &bogus; &</Result>",
        "<Result>" + refs,
        "<Result>" + refs + "</Resul",
    };
    s_host = io;
    quorlin_io heap = {nullptr, nullptr, heap_post, io_free_text};
    for (const std::string &inner : inners) {
        answer(200, response(inner));
        bool kept = false;
        auto read = [&](const quorlin_io *with) {
            kvdmc_set_io(with);
            sbuf_scoped result;
            char nret[32] = "";
            soap_out outs[] = {{"Result", nullptr, 0, &result, 0},
                               {"NumberReturned", nret, sizeof nret, nullptr, 0}};
            int r =
                soap_action_args(&dev, "ContentDirectory:1", "Browse", "", outs, 2, &upnp, err, sizeof err);
            kept = with == &heap && result.b.p == s_heap_body;
            return std::to_string(r) + "|" + std::to_string(outs[0].found) + "|" +
                   std::to_string(result.b.n) + "|" + result.str() + "|" + nret + "|" + err;
        };
        std::string host = read(&io), heaped = read(&heap);
        EXPECT_EQ(heaped, host) << inner.substr(0, 60);
        // A Result of text alone is the body itself, decoded where it arrived.
        if (&inner == &inners[0]) {
            EXPECT_TRUE(kept);
        }
    }
    kvdmc_set_io(&io);
}
