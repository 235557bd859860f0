// Reading the host's JSON: strict standard JSON, strings valid UTF-8, nesting bounded.
#pragma once

#include <string>

#include <rapidjson/document.h>
#include <rapidjson/reader.h>

// Deeper than any real settings or entry: a text nested further is refused.
constexpr unsigned JSON_MAX_DEPTH = 64;

// Counts how deep a text nests, stopping the read at the bound, and refuses strings holding
// a UTF-16 surrogate on its own: RapidJSON checks only a lone high one written as an
// escape, and lets "\udc00" through as bytes that are not UTF-8.
struct json_depth_probe : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, json_depth_probe> {
    unsigned depth = 0;
    static bool text_ok(const char *s, rapidjson::SizeType n) {
        for (rapidjson::SizeType i = 0; i + 1 < n; i++)
            if ((unsigned char)s[i] == 0xED && ((unsigned char)s[i + 1] & 0xE0) == 0xA0) return false;
        return true;
    }
    bool String(const char *s, rapidjson::SizeType n, bool) { return text_ok(s, n); }
    bool Key(const char *s, rapidjson::SizeType n, bool) { return text_ok(s, n); }
    bool open() { return ++depth <= JSON_MAX_DEPTH; }
    bool close() {
        depth--;
        return true;
    }
    bool StartObject() { return open(); }
    bool StartArray() { return open(); }
    bool EndObject(rapidjson::SizeType) { return close(); }
    bool EndArray(rapidjson::SizeType) { return close(); }
};

// One JSON value with nothing after it, nested at most JSON_MAX_DEPTH levels. Both reads
// are iterative, so a deep text costs heap, never the call stack (1 MiB on a Windows
// thread). RapidJSON 1.1's UTF-8 check reads up to three bytes past a sequence that the
// end of the text cuts short, so the text is read from a copy with zero bytes behind it.
// True when it parsed.
inline bool json_parse_strict(rapidjson::Document &doc, const char *json) {
    constexpr unsigned flags = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag;
    std::string padded(json ? json : "");
    padded.append(4, '\0');
    rapidjson::Reader reader;
    rapidjson::StringStream in(padded.c_str());
    json_depth_probe probe;
    if (reader.Parse<flags>(in, probe).IsError()) return false;
    doc.Parse<flags>(padded.c_str());
    return !doc.HasParseError();
}
