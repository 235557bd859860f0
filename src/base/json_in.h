// Reading the host's JSON: strict standard JSON, strings valid UTF-8.
#pragma once

#include <string>

#include <rapidjson/document.h>

// One JSON value with nothing after it. RapidJSON 1.1's UTF-8 check reads up to three
// bytes past a sequence that the end of the text cuts short, so the text is read from a
// copy with zero bytes behind it. True when it parsed.
inline bool json_parse_strict(rapidjson::Document &doc, const char *json) {
    std::string padded(json ? json : "");
    padded.append(4, '\0');
    doc.Parse<rapidjson::kParseValidateEncodingFlag>(padded.c_str());
    return !doc.HasParseError();
}
