// Protocol strings the component sends or looks for, in one place.
#pragma once

// ---- SSDP
constexpr const char *SSDP_GROUP = "239.255.255.250";
constexpr int SSDP_PORT = 1900;
constexpr const char *SSDP_ANY_IF = "0.0.0.0";
constexpr const char *SSDP_ALL = "ssdp:all";
constexpr const char *SSDP_ALIVE_NTS = "ssdp:alive";
constexpr const char *SSDP_BYEBYE_NTS = "ssdp:byebye";
constexpr int SSDP_MX = 3;

// ---- device and service types
constexpr const char *ST_MEDIA_SERVER = "urn:schemas-upnp-org:device:MediaServer:1";
constexpr const char *ST_MEDIA_RENDERER = "urn:schemas-upnp-org:device:MediaRenderer:1";
constexpr const char *DEVICE_SERVER_MARK = "device:MediaServer:";
constexpr const char *DEVICE_RENDERER_MARK = "device:MediaRenderer:";
constexpr const char *SERVICE_TYPE_PREFIX = "urn:schemas-upnp-org:service:";
constexpr const char *SVC_CONTENT_DIRECTORY = "ContentDirectory";
constexpr const char *SVC_AV_TRANSPORT = "AVTransport";
constexpr const char *SVC_RENDERING_CONTROL = "RenderingControl";
constexpr const char *SVC_CONNECTION_MANAGER = "ConnectionManager";

// ---- SOAP
constexpr const char *SOAP_ENVELOPE_NS = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr const char *SOAP_ENCODING = "http://schemas.xmlsoap.org/soap/encoding/";

// ---- DIDL-Lite
constexpr const char *DIDL_NS = "urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/";
constexpr const char *DC_NS = "http://purl.org/dc/elements/1.1/";
constexpr const char *UPNP_NS = "urn:schemas-upnp-org:metadata-1-0/upnp/";

// ---- HTTP
#define KVDMC_USER_AGENT_FMT "kvdmc/%s UPnP/1.0 DLNADOC/1.50"
