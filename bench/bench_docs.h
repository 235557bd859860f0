// Documents shaped like what real media servers send, for benchmarks.
#pragma once

#include <stdio.h>

#include <string>

// A DIDL-Lite page (the unescaped Result of a Browse) with `items` items.
// rich: music and video items with several res elements carrying protocolInfo,
// size, duration, bitrate and resolution, album art with dlna:profileID, and
// titles and names full of escaped characters (&amp; &lt; &gt; &quot; &apos;);
// 256 rich items come to about 200 KB. Otherwise: a lean page with title,
// class and one res per item and no escapes.
inline std::string bench_didl_page(int items, bool rich) {
    std::string d = "<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" "
                    "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
                    "xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\" "
                    "xmlns:dlna=\"urn:schemas-dlna-org:metadata-1-0/\">";
    char b[4096];
    for (int i = 0; i < items; i++) {
        if (!rich) {
            snprintf(
                b, sizeof b,
                "<item id=\"64$3$%d\" parentID=\"64$3\" restricted=\"1\"><dc:title>Track %d</dc:title>"
                "<upnp:class>object.item.audioItem.musicTrack</upnp:class>"
                "<res protocolInfo=\"http-get:*:audio/mpeg:*\">http://10.0.0.2:8200/MediaItems/%d.mp3</res>"
                "</item>",
                i, i, 1000 + i);
            d += b;
            continue;
        }
        bool video = i % 4 == 3;
        snprintf(b, sizeof b,
                 "<item id=\"64$3$1$%d\" parentID=\"64$3$1\" restricted=\"1\">"
                 "<dc:title>Track %d &amp; Friends &lt;Live&gt; &quot;Hall&quot; &#8211; "
                 "Rock &apos;n&apos; Roll</dc:title>"
                 "<upnp:class>%s</upnp:class>"
                 "<upnp:artist role=\"Performer\">The %d Sisters &amp; Brothers</upnp:artist>"
                 "<upnp:album>Hits &amp; More %d</upnp:album>"
                 "<upnp:genre>Rock &amp; Roll</upnp:genre>"
                 "<dc:date>2019-%02d-%02d</dc:date>"
                 "<upnp:albumArtURI dlna:profileID=\"JPEG_TN\">http://192.168.1.20:8200/AlbumArt/%d-%d.jpg"
                 "</upnp:albumArtURI>",
                 i, i, video ? "object.item.videoItem" : "object.item.audioItem.musicTrack", i % 50, i % 20,
                 i % 12 + 1, i % 28 + 1, 9000 + i, i);
        d += b;
        if (video)
            snprintf(
                b, sizeof b,
                "<res protocolInfo=\"http-get:*:video/mp4:DLNA.ORG_PN=AVC_MP4_MP_HD_720p_AAC;DLNA.ORG_OP=01;"
                "DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000\" size=\"%d\" "
                "duration=\"0:%02d:%02d.000\" bitrate=\"%d\" resolution=\"1280x720\" nrAudioChannels=\"2\" "
                "sampleFrequency=\"48000\">http://192.168.1.20:8200/MediaItems/%d.mp4</res>"
                "<res protocolInfo=\"http-get:*:video/x-matroska:*\" size=\"%d\" resolution=\"1920x1080\">"
                "http://192.168.1.20:8200/MediaItems/%d.mkv</res>",
                180000000 + i * 977, i % 60, i % 59, 500000 + i, 30000 + i, 390000000 + i, 30000 + i);
        else
            snprintf(
                b, sizeof b,
                "<res protocolInfo=\"http-get:*:audio/mpeg:DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;DLNA.ORG_CI=0;"
                "DLNA.ORG_FLAGS=01700000000000000000000000000000\" size=\"%d\" duration=\"0:0%d:%02d.000\" "
                "bitrate=\"40000\" sampleFrequency=\"44100\" nrAudioChannels=\"2\">"
                "http://192.168.1.20:8200/MediaItems/%d.mp3</res>",
                4000000 + i * 131, i % 7, i % 60, 20000 + i);
        d += b;
        d += "</item>";
    }
    d += "</DIDL-Lite>";
    return d;
}

// A media server's device description as a typical server sends it (about 4 KB).
inline std::string bench_device_description() {
    std::string d =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
        "<root xmlns=\"urn:schemas-upnp-org:device-1-0\" "
        "xmlns:dlna=\"urn:schemas-dlna-org:device-1-0\">\r\n"
        "  <specVersion>\r\n    <major>1</major>\r\n    <minor>0</minor>\r\n  </specVersion>\r\n"
        "  <URLBase>http://192.168.1.20:8200/</URLBase>\r\n"
        "  <device>\r\n"
        "    <deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType>\r\n"
        "    <friendlyName>Living Room &amp; Den: Media</friendlyName>\r\n"
        "    <manufacturer>Example Audio &amp; Video Ltd.</manufacturer>\r\n"
        "    <manufacturerURL>http://www.example.com/</manufacturerURL>\r\n"
        "    <modelDescription>Home media server &lt;DLNA 1.5&gt;</modelDescription>\r\n"
        "    <modelName>Media Server</modelName>\r\n"
        "    <modelNumber>1.3.0</modelNumber>\r\n"
        "    <modelURL>http://www.example.com/server/</modelURL>\r\n"
        "    <serialNumber>00000000</serialNumber>\r\n"
        "    <UDN>uuid:4d696e69-444c-164e-9d41-b827eb5fa3c1</UDN>\r\n"
        "    <dlna:X_DLNADOC xmlns:dlna=\"urn:schemas-dlna-org:device-1-0\">DMS-1.50</dlna:X_DLNADOC>\r\n"
        "    <presentationURL>http://192.168.1.20:8200/</presentationURL>\r\n"
        "    <iconList>\r\n";
    const char *icons[][3] = {{"image/png", "48", "png"},
                              {"image/png", "120", "png"},
                              {"image/jpeg", "48", "jpg"},
                              {"image/jpeg", "120", "jpg"}};
    char b[1024];
    for (auto &ic : icons) {
        snprintf(b, sizeof b,
                 "      <icon>\r\n        <mimetype>%s</mimetype>\r\n        <width>%s</width>\r\n"
                 "        <height>%s</height>\r\n        <depth>24</depth>\r\n"
                 "        <url>/icons/sm.%s</url>\r\n      </icon>\r\n",
                 ic[0], ic[1], ic[1], ic[2]);
        d += b;
    }
    d += "    </iconList>\r\n    <serviceList>\r\n";
    const char *svcs[][3] = {{"ContentDirectory", "1", "ContentDir"},
                             {"ConnectionManager", "1", "ConnectionMgr"},
                             {"X_MS_MediaReceiverRegistrar", "1", "X_MS_MediaReceiverRegistrar"}};
    for (auto &s : svcs) {
        snprintf(b, sizeof b,
                 "      <service>\r\n"
                 "        <serviceType>urn:%s:service:%s:%s</serviceType>\r\n"
                 "        <serviceId>urn:%s:serviceId:%s</serviceId>\r\n"
                 "        <controlURL>/ctl/%s</controlURL>\r\n"
                 "        <eventSubURL>/evt/%s</eventSubURL>\r\n"
                 "        <SCPDURL>/%s.xml</SCPDURL>\r\n"
                 "      </service>\r\n",
                 s[0][0] == 'X' ? "microsoft.com" : "schemas-upnp-org", s[0], s[1],
                 s[0][0] == 'X' ? "microsoft.com" : "upnp-org", s[0], s[2], s[2], s[2]);
        d += b;
    }
    d += "    </serviceList>\r\n"
         "    <deviceList>\r\n"
         "      <device>\r\n"
         "        <deviceType>urn:schemas-upnp-org:device:Basic:1</deviceType>\r\n"
         "        <friendlyName>Embedded helper</friendlyName>\r\n"
         "        <manufacturer>Example</manufacturer>\r\n"
         "        <modelName>Helper</modelName>\r\n"
         "        <UDN>uuid:4d696e69-444c-164e-9d41-b827eb5fa3c2</UDN>\r\n"
         "      </device>\r\n"
         "    </deviceList>\r\n"
         "  </device>\r\n"
         "</root>\r\n";
    return d;
}
