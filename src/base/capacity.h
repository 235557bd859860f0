// Every fixed capacity of the component in one place: table sizes, the sizes of fixed
// text fields and the cuts applied to them, input bounds and buffer sizes. A "_CAP" is
// a buffer size including the NUL; a "_CUT" is the most bytes of text a field keeps.
#pragma once

#include <stddef.h>

// ---- reporting
constexpr size_t REPORT_ERR_CAP = 1024; // the last-error text
constexpr size_t ERR_CAP = 256;         // message buffers of internal operations

// ---- configuration
constexpr size_t CFG_ADDR_CAP = 64; // ssdp_group, ssdp_if

constexpr int SSDP_MAX_HOSTS = 16;                    // hosts searched by unicast as well
constexpr size_t CFG_HOSTS_CAP = SSDP_MAX_HOSTS * 22; // "a.b.c.d:port," each

// ---- SSDP
constexpr size_t SSDP_DATAGRAM_MAX = 4096; // longer datagrams are not SSDP
constexpr size_t SSDP_ST_CAP = 160;
constexpr size_t SSDP_USN_CAP = 240;
constexpr size_t SSDP_LOCATION_CAP = 512;
constexpr size_t SSDP_SEARCH_CAP = 512; // one M-SEARCH request
constexpr int SSDP_MAX_IFS = 16;        // interfaces one search uses

// ---- device descriptions and the device table
constexpr int DEVICE_TABLE_ROWS = 64;
constexpr int DEVICE_MAX_SVC = 8;
constexpr int DESC_MAX_MEDIA = 8;     // media devices (rows) one description yields
constexpr int DESC_MAX_NODES = 16;    // device elements one description scan follows
constexpr size_t DEVICE_KEY_CAP = 80; // UDN and its lower-cased key
constexpr size_t DEVICE_TEXT_CAP = 128;
constexpr size_t DEVICE_NAME_CUT = 120; // friendly name, manufacturer, model
constexpr size_t DEVICE_DLNADOC_CAP = 64;
constexpr size_t DEVICE_DLNADOC_CUT = 60;
constexpr size_t DEVICE_URL_CAP = 512;   // LOCATION and URLBase
constexpr size_t SERVICE_TEXT_CAP = 128; // service type and id
constexpr size_t SERVICE_URL_CAP = 256;  // control, event and SCPD URLs
constexpr size_t URL_RESOLVED_CAP = 1280;
constexpr size_t URL_HOST_CAP = 256;
constexpr size_t URL_SCHEME_CAP = 16;
constexpr size_t URL_PATH_MAX = 1023;

// ---- XML reader
constexpr size_t XML_MAX_DOC = 262144;
constexpr int XML_MAX_DEPTH = 32;
constexpr int XML_MAX_ATTR = 16;
constexpr size_t XML_NAME_CAP = 128;
constexpr size_t XML_TEXT_CAP = 2048; // one text event; longer runs come as several
constexpr size_t XML_ATTR_NAME_CAP = 64;
constexpr size_t XML_ATTR_VAL_CAP = 1024; // longer values are cut and marked
constexpr size_t XML_ERR_CAP = 128;
constexpr size_t XML_PROLOG_WINDOW = 4096; // where DOCTYPE and ENTITY are looked for
constexpr size_t XML_TEXT_WINDOW = 32768;  // how far one text event searches for its end

// ---- SOAP
constexpr size_t SOAP_URL_CAP = 768;
constexpr size_t SOAP_TYPE_CAP = 160;
constexpr size_t SOAP_HEADERS_CAP = 384;
constexpr size_t SOAP_NAME_CAP = 80; // "<action>Response"
constexpr size_t SOAP_FAULT_CODE_CAP = 16;
constexpr size_t SOAP_FAULT_DESC_CAP = 128;
constexpr size_t SOAP_FAULT_DESC_CUT = 120;
constexpr size_t SOAP_FRAG_CAP = 40; // "<service kind>:<version>"

// ---- DIDL-Lite items
constexpr int ITEM_MAX = 4096;
constexpr int ITEM_MAX_SUB = 8;
constexpr size_t ITEM_ID_CAP = 1024; // ids are kept whole or the object is skipped
constexpr size_t ITEM_TITLE_CAP = 256;
constexpr size_t ITEM_TITLE_CUT = 250;
constexpr size_t ITEM_CLASS_CAP = 96;
constexpr size_t ITEM_CLASS_CUT = 90;
constexpr size_t ITEM_DATE_CAP = 32;
constexpr size_t ITEM_URL_CAP = 1024;
constexpr size_t ITEM_MIME_CAP = 128;
constexpr size_t ITEM_PROTOCOL_CAP = 64;
constexpr size_t ITEM_PROTOCOL_INFO_CAP = 256;
constexpr size_t ITEM_PROTOCOL_INFO_CUT = 250;
constexpr size_t ITEM_RES_ATTR_CAP = 32; // duration, resolution, size as read
constexpr size_t ITEM_DURATION_READ_CAP = 40;

// ---- Browse and its cache
constexpr int BROWSE_CACHE_SLOTS = 8;
// The texts of all entries together; a larger result is not cached.
constexpr size_t BROWSE_CACHE_BYTES = 4u << 20;
constexpr size_t BROWSE_COUNT_CAP = 32; // NumberReturned, TotalMatches, UpdateID as read

constexpr int BROWSE_PAGE_FLOOR = 16;          // a refused page size is halved down to this
constexpr int BROWSE_REPEAT_IDS = 8;           // first ids of a page compared for a repeat,
constexpr size_t BROWSE_REPEAT_IDS_CAP = 1024; // and the text that holds them
constexpr size_t BEST_URL_CAP = 1200;

// ---- casting
constexpr int CAST_ALLOW_MAX = 32;
constexpr size_t CAST_ERRN = ERR_CAP; // every casting operation's error buffer
constexpr size_t CAST_ARGS_CAP = 256;
constexpr size_t CAST_VALUE_CAP = 64;          // RenderingControl values, renderer times
constexpr int CAST_SINK_MEMO = 16;             // renderers whose Sink list is remembered
constexpr size_t CAST_SINK_MEMO_BYTES = 65536; // longer lists are not remembered
constexpr int CAST_TRANSITION_WAIT_MS = 2000;  // how long Play waits out TRANSITIONING
constexpr int CAST_TRANSITION_POLL_MS = 100;

constexpr size_t SCPD_VALUES_CAP = 512; // a state variable's allowed values as kept
constexpr size_t SCPD_NAME_CAP = 64;    // a state variable's name as compared

// ---- HTTP transports
constexpr size_t HTTP_BODY_CAP = 8u << 20;
constexpr int HTTP_RECEIVE_WINDOW = 512 * 1024; // a whole Browse page in flight at once
constexpr long HTTP_READ_CHUNK = 64 * 1024;     // one read of the socket; each thread holds one
constexpr long HTTP_CONNECT_MS = 2000;
constexpr long HTTP_TOTAL_MS = 10000;
