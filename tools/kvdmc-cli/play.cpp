// kvdmc-cli play: an item of a media server on a renderer, in one command, and with --wait
// its playback followed until the renderer stops.
#include <signal.h>
#include <string.h>

#include <string>

#include <rapidjson/document.h>

#include "commands.h"
#include "component.h"
#include "kvdmc.h"
#include "kvffa.h"

namespace {

// Set by Ctrl-C (or a polite kill) once play has started the renderer; a second one ends
// the tool at once.
volatile sig_atomic_t g_interrupted = 0;

void on_interrupt(int sig) {
    g_interrupted = 1;
    signal(sig, SIG_DFL);
}

// How long play waits for PLAYING: a renderer may be TRANSITIONING (buffering) that long,
// and one that still reports its old state right after Play gets a moment to take it.
constexpr int PLAYING_WAIT_MS = 10000;
constexpr int OLD_STATE_GRACE_MS = 1000;
constexpr int STATE_POLL_MS = 100;
// play --wait: the position is read once a second and written once every 5 s when the
// output is no terminal.
constexpr int POSITION_POLL_MS = 1000;
constexpr int POSITION_LINE_MS = 5000;

// The item a path names, as the server describes it.
struct media_item {
    std::string url, mime, title;
};

// Resolves the path as url does, then reads the item's MIME type and title from the
// table of the browse that found it.
int resolve_item(const char *path, media_item *m) {
    const char *url = kvffa_locator(path);
    if (!url) {
        fprintf(stderr, "error: %s\n", kvffa_last_error());
        return 1;
    }
    m->url = url;
    for (int i = 0; i < kvdmc_item_count(); i++) {
        if (m->url != kvdmc_best_res_url(i)) continue;
        rapidjson::Document d;
        d.Parse(kvdmc_item_json(i));
        if (d.HasParseError() || !d.IsObject()) break;
        auto text = [](const rapidjson::Value &o, const char *k) -> std::string {
            if (!o.IsObject()) return "";
            auto it = o.FindMember(k);
            return it != o.MemberEnd() && it->value.IsString() ? it->value.GetString() : "";
        };
        // Looked up through a const view: clang finds the mutable iterators' comparison
        // ambiguous in C++20.
        const rapidjson::Value &item = d;
        m->title = text(item, "title");
        auto res = item.FindMember("res");
        if (res != item.MemberEnd()) m->mime = text(res->value, "mime");
        break;
    }
    return 0;
}

// Whether the renderer's Sink lists the format for HTTP: by its name, its type's wildcard
// ("audio/*") or the wildcard of every format. 1, 0, or a negative code.
int sink_lists(const std::string &renderer, const std::string &mime) {
    std::string type = mime.substr(0, mime.find('/'));
    for (const std::string &format : {mime, type + "/*", std::string("*")}) {
        int r = kvdmc_sink_check(renderer.c_str(), ("http-get:*:" + format).c_str());
        if (r != 0) return r;
    }
    return 0;
}

// Whether the renderer's description lists a ConnectionManager of any version; true when
// its row cannot be read, so that the failure of the call itself is what the user sees.
bool has_connection_manager(const std::string &renderer) {
    int row = kvdmc_find_device(renderer.c_str());
    if (row < 0) return true;
    rapidjson::Document d;
    d.Parse(kvdmc_device_json(row));
    const rapidjson::Value &dev = d; // const: see resolve_item
    if (d.HasParseError() || !dev.IsObject()) return true;
    auto services = dev.FindMember("services");
    if (services == dev.MemberEnd() || !services->value.IsArray()) return true;
    for (const rapidjson::Value &svc : services->value.GetArray()) {
        if (!svc.IsObject()) continue;
        auto type = svc.FindMember("type");
        if (type != svc.MemberEnd() && type->value.IsString() &&
            strstr(type->value.GetString(), ":service:ConnectionManager:"))
            return true;
    }
    return false;
}

// The renderer's Sink is only advice: a renderer may play more than it lists.
void warn_unless_sink_has(const std::string &renderer, const std::string &mime) {
    if (mime.empty()) {
        fprintf(stderr, "play: warning: the item's format is unknown; not checked against %s\n",
                renderer.c_str());
        return;
    }
    int r = sink_lists(renderer, mime);
    if (r == 0) {
        fprintf(stderr, "play: warning: %s does not list %s among the formats it plays; trying anyway\n",
                renderer.c_str(), mime.c_str());
    } else if (r < 0) {
        std::string error = kvdmc_last_error();
        if (!has_connection_manager(renderer))
            fprintf(stderr,
                    "play: warning: %s has no ConnectionManager to list the formats it plays; "
                    "trying anyway\n",
                    renderer.c_str());
        else
            fprintf(stderr, "play: warning: could not read the formats %s plays: %s\n", renderer.c_str(),
                    error.c_str());
    }
}

// Stops the renderer after Ctrl-C; the exit code.
int stop_interrupted(const std::string &renderer, bool line_open) {
    if (line_open) fputc('\n', stdout);
    fflush(stdout);
    if (kvdmc_cast_stop(renderer.c_str()) != 0) {
        fprintf(stderr, "play: interrupted; stopping %s failed: %s\n", renderer.c_str(), kvdmc_last_error());
        return 1;
    }
    fprintf(stderr, "play: interrupted; %s stopped\n", renderer.c_str());
    return 130;
}

// Sleeps ms in short steps, ending early when Ctrl-C was pressed.
void nap(int ms) {
    for (int t = 0; t < ms && !g_interrupted; t += 50) sleep_ms(50);
}

// -1 once the renderer reports PLAYING, else the exit code.
int wait_for_playing(const std::string &renderer) {
    char state[64] = "";
    uint64_t start = now_ms();
    for (;;) {
        if (g_interrupted) return stop_interrupted(renderer, false);
        if (cast_transport_state(renderer.c_str(), state, sizeof state) != 0) {
            fprintf(stderr, "play: state: %s\n", kvdmc_last_error());
            return 1;
        }
        if (strcmp(state, "PLAYING") == 0) return -1;
        uint64_t waited = now_ms() - start;
        bool old_state = strcmp(state, "STOPPED") == 0 || strcmp(state, "NO_MEDIA_PRESENT") == 0;
        bool may_wait = strcmp(state, "TRANSITIONING") == 0 ? waited < PLAYING_WAIT_MS
                                                            : old_state && waited < OLD_STATE_GRACE_MS;
        if (!may_wait) {
            fprintf(stderr, "play: %s reports %s, not PLAYING, after %.1f s\n", renderer.c_str(), state,
                    (double)waited / 1000);
            return 1;
        }
        nap(STATE_POLL_MS);
    }
}

std::string hms(int s) {
    char b[32];
    snprintf(b, sizeof b, "%d:%02d:%02d", s / 3600, s / 60 % 60, s % 60);
    return b;
}

// Shows position and duration until the renderer stops: one line rewritten in place on
// a terminal, a line every few seconds otherwise. The exit code.
int follow_playback(const std::string &renderer) {
    const bool tty = is_terminal(stdout);
    bool line_open = false;
    size_t last_len = 0;
    uint64_t last_line = 0;
    bool first = true;
    for (;;) {
        if (g_interrupted) return stop_interrupted(renderer, line_open);
        char state[64] = "";
        if (cast_transport_state(renderer.c_str(), state, sizeof state) != 0) {
            if (line_open) fputc('\n', stdout);
            fprintf(stderr, "play: state: %s\n", kvdmc_last_error());
            return 1;
        }
        if (strcmp(state, "STOPPED") == 0 || strcmp(state, "NO_MEDIA_PRESENT") == 0) break;
        int pos = 0, dur = 0;
        std::string line = kvdmc_cast_position(renderer.c_str(), &pos, &dur) == 0
                               ? "position " + hms(pos) + " / " + hms(dur)
                               : std::string("position unknown");
        if (strcmp(state, "PLAYING") != 0) line += std::string(" (") + state + ")";
        if (tty) {
            // Blanks over what a longer line before left behind.
            size_t len = line.size();
            if (len < last_len) line.append(last_len - len, ' ');
            printf("\r%s", line.c_str());
            last_len = len;
            line_open = true;
            fflush(stdout);
        } else if (first || now_ms() - last_line >= POSITION_LINE_MS) {
            printf("%s\n", line.c_str());
            fflush(stdout);
            last_line = now_ms();
        }
        first = false;
        nap(POSITION_POLL_MS);
    }
    if (line_open) fputc('\n', stdout);
    printf("stopped\n");
    return 0;
}

} // namespace

int cmd_play(const settings &s) {
    const char *path = path_operand(s);
    if (s.udn.empty() || s.to.empty() || !path) {
        print_command_usage(s);
        return 2;
    }
    // Before anything is sent, the search included: a renderer the user did not name
    // twice is never contacted.
    if (!on_tool_allow_list(s, s.to)) {
        fprintf(stderr, "play: %s is not on the allow-list (pass --allow %s)\n", s.to.c_str(), s.to.c_str());
        return 3;
    }
    int early = open_layer(s);
    if (early >= 0) return early;
    media_item item;
    if (int rc = resolve_item(path, &item)) return rc;

    const char *to = s.to.c_str();
    if (!find_or_discover(to, KVDMC_KIND_RENDERER, s.timeout)) {
        fprintf(stderr, "play: %s not found\n", to);
        return 1;
    }
    if (kvdmc_cast_allow(to) != 0) {
        fputs("play: allow failed\n", stderr);
        return 3;
    }
    warn_unless_sink_has(s.to, item.mime);
    if (kvdmc_cast_set_uri(to, item.url.c_str(), item.mime.empty() ? nullptr : item.mime.c_str(),
                           item.title.c_str()) != 0) {
        fprintf(stderr, "play: set: %s\n", kvdmc_last_error());
        return 1;
    }
    // From here on Ctrl-C leaves the renderer stopped rather than playing on unattended.
    signal(SIGINT, on_interrupt);
    signal(SIGTERM, on_interrupt);
    if (kvdmc_cast_play(to) != 0) {
        fprintf(stderr, "play: play: %s\n", kvdmc_last_error());
        return 1;
    }
    int rc = wait_for_playing(s.to);
    if (rc >= 0) return rc;
    printf("play=0 %s\n", item.url.c_str());
    fflush(stdout);
    return s.wait ? follow_playback(s.to) : 0;
}
