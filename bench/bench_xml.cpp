// Pull reader throughput next to libexpat, libxml2's xmlTextReader and pugixml,
// each reading every event of the same document.
#include <benchmark/benchmark.h>
#include <expat.h>
#include <libxml/xmlreader.h>
#include <pugixml.hpp>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "tests/helpers/docs.h"
#include "parse/xml.h"

namespace {

const std::string &didl_doc() {
    static const std::string d = docs::didl_page(256, true);
    return d;
}
const std::string &desc_doc() {
    static const std::string d = docs::typical_server_description();
    return d;
}
const std::string &pick(int which) {
    return which == 0 ? didl_doc() : desc_doc();
}

// Every parser's work ends in a checksum of names, text and attribute values,
// so none of it can be skipped.
size_t read_kvdmc(const std::string &doc) {
    char err[256];
    xmlrd *x = xml_open(doc.data(), doc.size(), err, sizeof err);
    if (!x) abort();
    size_t sum = 0;
    const char *s;
    size_t n;
    int ev;
    while ((ev = xml_next(x, &s, &n)) > 0) {
        sum += n + (uint8_t)s[0];
        if (ev == XML_EV_START) {
            int na;
            const xml_attr_t *a = xml_attrs(x, &na);
            for (int i = 0; i < na; i++) sum += (uint8_t)a[i].name[0] + a[i].vlen;
        }
    }
    if (ev < 0) abort();
    xml_close(x);
    return sum;
}

struct expat_state {
    size_t sum = 0;
    char text[4096];
    size_t tlen = 0;
};

void XMLCALL ex_start(void *u, const XML_Char *name, const XML_Char **atts) {
    auto *st = static_cast<expat_state *>(u);
    st->sum += strlen(name);
    for (int i = 0; atts[i]; i += 2) st->sum += (uint8_t)atts[i][0] + (uint8_t)atts[i + 1][0];
    st->tlen = 0;
}
void XMLCALL ex_end(void *u, const XML_Char *name) {
    auto *st = static_cast<expat_state *>(u);
    st->sum += strlen(name) + st->tlen;
    st->tlen = 0;
}
void XMLCALL ex_text(void *u, const XML_Char *s, int len) {
    auto *st = static_cast<expat_state *>(u);
    size_t n = (size_t)len;
    if (n > sizeof st->text - 1 - st->tlen) n = sizeof st->text - 1 - st->tlen;
    memcpy(st->text + st->tlen, s, n);
    st->tlen += n;
    st->text[st->tlen] = 0;
}

size_t read_expat(const std::string &doc) {
    XML_Parser p = XML_ParserCreate(nullptr);
    expat_state st;
    XML_SetUserData(p, &st);
    XML_SetElementHandler(p, ex_start, ex_end);
    XML_SetCharacterDataHandler(p, ex_text);
    if (XML_Parse(p, doc.data(), (int)doc.size(), 1) != XML_STATUS_OK) abort();
    XML_ParserFree(p);
    return st.sum;
}

size_t read_libxml2(const std::string &doc) {
    xmlTextReaderPtr r = xmlReaderForMemory(doc.data(), (int)doc.size(), nullptr, nullptr, XML_PARSE_NONET);
    size_t sum = 0;
    int rc;
    while ((rc = xmlTextReaderRead(r)) == 1) {
        const xmlChar *name = xmlTextReaderConstName(r);
        sum += name ? name[0] : 0;
        if (xmlTextReaderHasValue(r) == 1) {
            const xmlChar *v = xmlTextReaderConstValue(r);
            sum += v ? strlen((const char *)v) : 0;
        }
        if (xmlTextReaderNodeType(r) == XML_READER_TYPE_ELEMENT && xmlTextReaderHasAttributes(r) == 1) {
            while (xmlTextReaderMoveToNextAttribute(r) == 1) {
                const xmlChar *an = xmlTextReaderConstName(r);
                const xmlChar *av = xmlTextReaderConstValue(r);
                sum += (an ? an[0] : 0) + (av ? av[0] : 0);
            }
            xmlTextReaderMoveToElement(r);
        }
    }
    if (rc != 0) abort();
    xmlFreeTextReader(r);
    return sum;
}

size_t read_pugixml(const std::string &doc) {
    pugi::xml_document d;
    if (!d.load_buffer(doc.data(), doc.size())) abort();
    return (size_t)d.first_child().name()[0];
}

template <size_t (*Read)(const std::string &)> void BM_read(benchmark::State &state) {
    const std::string &doc = pick((int)state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(Read(doc));
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)doc.size());
    state.SetLabel(state.range(0) == 0 ? "didl-256" : "description");
    state.counters["doc_bytes"] = (double)doc.size();
}

} // namespace

BENCHMARK(BM_read<read_kvdmc>)->Name("kvdmc_xml")->Arg(0)->Arg(1);
BENCHMARK(BM_read<read_expat>)->Name("expat")->Arg(0)->Arg(1);
BENCHMARK(BM_read<read_libxml2>)->Name("libxml2_reader")->Arg(0)->Arg(1);
BENCHMARK(BM_read<read_pugixml>)->Name("pugixml_dom")->Arg(0)->Arg(1);

BENCHMARK_MAIN();
