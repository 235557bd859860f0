// kvdmc-cli: discover devices, browse a media server and drive a renderer by hand.
// It drives the library through the public API, as a host would, and the file/folder
// access layer for ls, url and play; it selects no transport of its own. Beyond the API
// it uses only the two entry points of component.h: a search that ends when its device
// answers, and the renderer's transport state by name.
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>

#include <rapidjson/document.h>

#include "component.h"
#include "kvdmc.h"
#include "kvffa.h"
#include "textread.h"

namespace {

// One line per form of a command, printed after the program name: the usage
// text of a bad command and the head of --help. A new command adds its lines
// here, its paragraph to HELP below and its section to docs/kvdmc-cli.1.
const char *const SYNOPSIS[] = {
    "discover [--kind 1|2|3] [--timeout ms] [--if ip]",
    "browse --udn <udn> [objectid]",
    "browse --udn <udn> [--start N] [--count N] [objectid]",
    "cast --udn <udn> --allow <udn> set|play|pause|stop|seek|volume|state [...]",
    "ls --udn <udn> [--page N] [--all] [path]",
    "url --udn <udn> <path>",
    "play --udn <server> --to <renderer> --allow <renderer> <path> [--wait]",
};

// The rest of --help: says what the README and the man page say, so all three
// change together.
const char HELP[] = "\n"
                    "Finds DLNA/UPnP media servers and renderers, browses a server's folders and\n"
                    "drives a renderer. Results go to stdout as text and JSON lines, errors to\n"
                    "stderr.\n"
                    "\n"
                    "commands:\n"
                    "  discover  search for media servers (kind 1) and renderers (kind 2); prints\n"
                    "            one JSON line per device as it answers, then discover=N; a line's\n"
                    "            \"udn\" is what --udn takes\n"
                    "  browse    list the children of folder objectid (default 0, the root) as JSON\n"
                    "            lines after the line \"browse=N total=T start=S count=C\"; a folder\n"
                    "            line's \"id\" is the objectid of that folder\n"
                    "  cast      drive a renderer, named twice byte for byte: --udn U --allow U\n"
                    "              set URL [MIME [TITLE]]  hand it a media URL (an item's res.url);\n"
                    "                                      MIME defaults to video/mp4\n"
                    "              play | pause | stop\n"
                    "              seek SECONDS\n"
                    "              volume 0..100           set the volume; volume -1 reads it\n"
                    "              state                   print state=0 stopped, 1 paused or no\n"
                    "                                      media, 2 playing\n"
                    "  ls        list folder path (default 0) through the file/folder access layer;\n"
                    "            prints the layer's result as one JSON object: the first page and\n"
                    "            whether more follow, or with --all every page (on a terminal, a\n"
                    "            folder of more than 1000 entries shows its progress on stderr). A\n"
                    "            path is an objectid, or objectid/child with the child's index or\n"
                    "            name\n"
                    "  url       print the stream URL of path (an item's objectid, or\n"
                    "            objectid/child)\n"
                    "  play      play the item at path (as for url) of server --udn on renderer\n"
                    "            --to, which --allow must name byte for byte: warns when the\n"
                    "            renderer does not list the item's format, hands it the item with\n"
                    "            its title, starts it and prints play=0 URL once it plays (waiting\n"
                    "            up to 10 s while it is TRANSITIONING). With --wait it then shows\n"
                    "            position / duration until the renderer stops; Ctrl-C stops the\n"
                    "            renderer before the tool exits\n"
                    "  browse, cast, ls, url and play search for their device, also by its UDN,\n"
                    "  and go on as soon as it answers; --timeout is the most they wait.\n"
                    "\n"
                    "options (after the command):\n"
                    "  --if ip       IPv4 address of the one interface to search on (default:\n"
                    "                every interface)\n"
                    "  --kind k      discover: 1 servers, 2 renderers, 3 both (default 3)\n"
                    "  --timeout ms  how long a search listens at most, 100..30000 (default 3000)\n"
                    "  --udn udn     the device to browse, list or cast to; play: the server\n"
                    "  --to udn      play: the renderer\n"
                    "  --allow udn   allow casting to this renderer (up to 8 times)\n"
                    "  --start N     browse: skip the first N children\n"
                    "  --count N     browse: passed to the library, printed in the summary line\n"
                    "  --page N      ls: entries per page, 1..65536 (default 256)\n"
                    "  --all         ls: follow every page\n"
                    "  --wait        play: follow the playback until the renderer stops\n"
                    "  --test        print a notice for test harnesses and exit 0\n"
                    "  -h, --help    (as the command) print this help and exit 0\n"
                    "\n"
                    "exit codes:\n"
                    "  0    success\n"
                    "  1    a library call failed, the device was not found, or the renderer did\n"
                    "       not start playing\n"
                    "  2    usage error\n"
                    "  3    casting refused (no matching --allow)\n"
                    "  130  play interrupted by Ctrl-C (the renderer was stopped)\n";

// Options that take a value; browse skips them (and their values) when it
// looks for the object id.
const char *const VALUE_OPTS[] = {"--if",    "--timeout", "--kind", "--allow", "--udn",
                                  "--start", "--count",   "--page", "--to"};

enum { UDN_MAX = 127, ALLOW_MAX = 8, ALLOW_LEN = 79 };

struct settings {
    const char *prog = "kvdmc-cli"; // as invoked, for the usage texts
    int timeout = 3000;
    int kind = KVDMC_KIND_BOTH;
    int start = 0;
    int count = 0;
    int page = 0;
    bool page_given = false; // ls: otherwise the layer's own page size
    bool all = false;
    bool wait = false; // play: follow the playback until it ends
    std::string udn;
    std::string to; // play: the renderer
    // Kept whole: a value longer than the library's keys never passes the
    // allow-list check, so no cut prefix can match some other device.
    std::string allow[ALLOW_MAX];
    int nallow = 0;
};

// The usage goes to stderr after a mistake and to stdout when it was asked for.
void print_usage(FILE *to, const char *prog) {
    const char *lead = "usage:";
    for (const char *line : SYNOPSIS) {
        fprintf(to, "%s %s %s\n", lead, prog, line);
        lead = "      ";
    }
}

// Windows hands over the whole path, with either separator; elsewhere a
// backslash is an ordinary character of a file name.
#ifdef _WIN32
constexpr bool BACKSLASH_SEPARATES = true;
#else
constexpr bool BACKSLASH_SEPARATES = false;
#endif

// The name the tool was started by, without its directory, so that help
// written for a renamed or wrapped copy still works when pasted into a shell.
const char *program_name(int argc, char **argv) {
    if (argc < 1 || !argv[0] || !argv[0][0]) return "kvdmc-cli";
    const char *name = argv[0];
    for (const char *p = argv[0]; *p; p++)
        if (*p == '/' || (BACKSLASH_SEPARATES && *p == '\\')) name = p + 1;
    return *name ? name : argv[0];
}

// The decimal value of an argument, as atoi reads it, but saturating instead of
// overflowing on huge numbers.
int dec(const char *a) {
    return (int)leading_int(a, INT_MAX);
}

bool is_value_opt(const char *a) {
    for (const char *o : VALUE_OPTS)
        if (strcmp(a, o) == 0) return true;
    return false;
}

// Exit code of the scan: -1 to go on, else the code to exit with at once.
int scan_options(int argc, char **argv, settings &s) {
    for (int i = 2; i < argc;) {
        const char *a = argv[i];
        bool has_val = i + 1 < argc;
        const char *v = has_val ? argv[i + 1] : "";
        if (has_val && strcmp(a, "--if") == 0) {
            if (kvdmc_config("ssdp_if", v) != 0) {
                fputs("bad --if\n", stderr);
                return 2;
            }
        } else if (has_val && strcmp(a, "--timeout") == 0) {
            s.timeout = dec(v);
        } else if (has_val && strcmp(a, "--kind") == 0) {
            s.kind = dec(v);
        } else if (has_val && strcmp(a, "--allow") == 0 && s.nallow < ALLOW_MAX) {
            s.allow[s.nallow++] = v;
        } else if (has_val && strcmp(a, "--udn") == 0) {
            s.udn.assign(v, utf8_cut(v, strlen(v), UDN_MAX));
        } else if (strcmp(a, "--test") == 0) {
            fputs("cli --test: use the .console harness\n", stdout);
            return 0;
        } else if (has_val && strcmp(a, "--start") == 0) {
            s.start = dec(v);
        } else if (has_val && strcmp(a, "--count") == 0) {
            s.count = dec(v);
        } else if (has_val && strcmp(a, "--page") == 0) {
            s.page = dec(v);
            s.page_given = true;
        } else if (has_val && strcmp(a, "--to") == 0) {
            s.to.assign(v, utf8_cut(v, strlen(v), UDN_MAX));
        } else if (strcmp(a, "--all") == 0) {
            s.all = true;
            i++;
            continue;
        } else if (strcmp(a, "--wait") == 0) {
            s.wait = true;
            i++;
            continue;
        } else {
            i++;
            continue;
        }
        i += 2;
    }
    return -1;
}

bool is_terminal(FILE *f) {
#ifdef _WIN32
    return _isatty(_fileno(f)) != 0;
#else
    return isatty(fileno(f)) != 0;
#endif
}

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint64_t now_ms() {
    return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One search of the given kind that also asks for the device by its UDN and goes on as
// soon as it answers; --timeout is the most it waits.
bool find_or_discover(const char *udn, int kind, int timeout) {
    return discover_device(kind, udn, timeout) >= 0;
}

// What identifies a device line: its "udn" member, which comes first. Inside the JSON
// string a quote is escaped, so the first `,"kind":` ends it.
std::string device_line_key(const char *json) {
    const char *end = strstr(json, ",\"kind\":");
    return end ? std::string(json, (size_t)(end - json)) : std::string(json);
}

// The search runs on a thread of its own while this one prints each device as its row
// appears in the table (the table takes a row as soon as the device's description is
// read), so the first devices show long before the listening time is over.
int cmd_discover(const settings &s) {
    std::atomic<bool> done{false};
    int r = 0;
    std::string error;
    std::thread search([&] {
        r = kvdmc_discover(s.kind, s.timeout);
        if (r < 0) error = kvdmc_last_error();
        done.store(true);
    });
    std::set<std::string> shown;
    int rows = 0;
    for (bool last = false; !last;) {
        last = done.load();
        // Rows are added at the end of the table; a row that replaced an expired one
        // while the count stayed is caught by the last look.
        int n = kvdmc_device_count();
        if (n == rows && !last) {
            sleep_ms(10);
            continue;
        }
        rows = n;
        for (int i = 0; i < n; i++) {
            const char *json = kvdmc_device_json(i);
            if (*json && shown.insert(device_line_key(json)).second) {
                printf("%s\n", json);
                fflush(stdout);
            }
        }
    }
    search.join();
    printf("discover=%d\n", r);
    if (r < 0) {
        fprintf(stderr, "error: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

const char *browse_object_id(int argc, char **argv) {
    for (int i = 2; i < argc; i++) {
        const char *a = argv[i];
        if (is_value_opt(a)) {
            i++;
            continue;
        }
        if (a[0] == '\0') return "0";
        if (a[0] != '-') return a;
    }
    return "0";
}

int cmd_browse(int argc, char **argv, const settings &s) {
    if (s.udn.empty()) {
        fprintf(stderr, "usage: %s browse --udn <udn> [objectid]\n", s.prog);
        return 2;
    }
    if (!find_or_discover(s.udn.c_str(), KVDMC_KIND_SERVER, s.timeout)) {
        fprintf(stderr, "browse: %s not found\n", s.udn.c_str());
        return 1;
    }
    int r =
        kvdmc_browse(s.udn.c_str(), browse_object_id(argc, argv), s.start, s.count, KVDMC_BROWSE_CHILDREN);
    printf("browse=%d total=%d start=%d count=%d\n", r, kvdmc_total_matches(), s.start, s.count);
    if (r < 0) {
        fprintf(stderr, "error: %s\n", kvdmc_last_error());
        return 1;
    }
    for (int i = 0; i < kvdmc_item_count(); i++) printf("%s\n", kvdmc_item_json(i));
    return 0;
}

// A JSON string of a command-line text, for the layer's configuration.
std::string json_text(const std::string &t) {
    std::string j = "\"";
    for (char c : t) {
        if (c == '"' || c == '\\') j += '\\';
        if ((unsigned char)c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", (unsigned char)c);
            j += esc;
        } else {
            j += c;
        }
    }
    return j + "\"";
}

// Finds the server and opens the access layer on it. -1 when ready, else the exit code.
int open_layer(const char *cmd, const settings &s) {
    if (s.udn.empty()) {
        fprintf(stderr, "usage: %s %s --udn <udn> ...\n", s.prog, cmd);
        return 2;
    }
    if (!find_or_discover(s.udn.c_str(), KVDMC_KIND_SERVER, s.timeout)) {
        fprintf(stderr, "%s: %s not found\n", cmd, s.udn.c_str());
        return 1;
    }
    std::string cfg = "{\"udn\":" + json_text(s.udn) + "}";
    // A registration left from before is fine: the backend is there.
    if ((kvdmc_kvffa_register() != 0 && !kvffa__find("dlna")) ||
        kvffa_open("dlna", cfg.c_str()) != KVFFA_OK ||
        (s.page_given && kvffa_set_page_size(s.page) != KVFFA_OK)) {
        fprintf(stderr, "error: %s\n", kvffa_last_error());
        return 1;
    }
    return -1;
}

// ls --all of a large folder shows how far it got, on stderr and only on a terminal:
// the entries so far, and of how many when the server says.
constexpr int PROGRESS_FROM = 1000;

void show_progress(size_t n, int total, const char *end) {
    if (total > 0)
        fprintf(stderr, "\rls: %zu of %d entries%s", n, total, end);
    else
        fprintf(stderr, "\rls: %zu entries%s", n, end);
    fflush(stderr);
}

// kvffa_list_all, page by page, with the progress line once the folder is a large one.
int list_all_with_progress(const char *path) {
    int rc = kvffa_list(path);
    bool shown = false;
    while (rc == KVFFA_OK && kvffa_more()) {
        int total = kvdmc_total_matches();
        if (shown || kvffa_count() > PROGRESS_FROM || total > PROGRESS_FROM) {
            show_progress(kvffa_count(), total, "");
            shown = true;
        }
        int next = kvffa_list_next();
        if (next < 0) rc = -next;
    }
    // The last figures stay on their line, the result follows below it.
    if (shown) show_progress(kvffa_count(), kvdmc_total_matches(), "\n");
    return rc;
}

int cmd_ls(int argc, char **argv, const settings &s) {
    int early = open_layer("ls", s);
    if (early >= 0) return early;
    const char *path = browse_object_id(argc, argv);
    int r = !s.all                ? kvffa_list(path)
            : is_terminal(stderr) ? list_all_with_progress(path)
                                  : kvffa_list_all(path);
    if (r != KVFFA_OK) {
        fprintf(stderr, "error: %s\n", kvffa_last_error());
        return 1;
    }
    printf("%s\n", kvffa_result_json());
    // A listing that succeeded may still have left entries out (rejected ones, or a folder
    // cut at the browse cap): the layer says so, and a user should see it.
    if (kvffa_last_error()[0]) fprintf(stderr, "note: %s\n", kvffa_last_error());
    return 0;
}

// The path argument of url and play, or null when none was given.
const char *path_argument(int argc, char **argv) {
    const char *path = browse_object_id(argc, argv);
    for (int i = 2; i < argc; i++)
        if (argv[i] == path) return path;
    return nullptr;
}

int cmd_url(int argc, char **argv, const settings &s) {
    const char *path = path_argument(argc, argv);
    if (!path) {
        fprintf(stderr, "usage: %s url --udn <udn> <path>\n", s.prog);
        return 2;
    }
    int early = open_layer("url", s);
    if (early >= 0) return early;
    const char *url = kvffa_locator(path);
    if (!url) {
        fprintf(stderr, "error: %s\n", kvffa_last_error());
        return 1;
    }
    printf("%s\n", url);
    return 0;
}

bool on_tool_allow_list(const settings &s, const std::string &udn) {
    for (int i = 0; i < s.nallow; i++)
        if (s.allow[i].size() <= ALLOW_LEN && s.allow[i] == udn) return true;
    return false;
}

// One cast action: the call it makes with the renderer and the words after the action
// (a[0] its value, a[1] and a[2] what follows; null when absent), and when it succeeded.
struct cast_action {
    const char *name;
    bool needs_value;
    bool prints_result; // "name=<result>" alone, as a read does
    int (*call)(const char *udn, const char *const *a);
    bool (*ok)(int r, const char *const *a); // null: 0 is success
};

const cast_action CAST_ACTIONS[] = {
    {"set", true, false,
     [](const char *u, const char *const *a) {
         return kvdmc_cast_set_uri(u, a[0], a[1] ? a[1] : "video/mp4", a[2] ? a[2] : "");
     },
     nullptr},
    {"play", false, false, [](const char *u, const char *const *) { return kvdmc_cast_play(u); }, nullptr},
    {"pause", false, false, [](const char *u, const char *const *) { return kvdmc_cast_pause(u); }, nullptr},
    {"stop", false, false, [](const char *u, const char *const *) { return kvdmc_cast_stop(u); }, nullptr},
    {"seek", true, false, [](const char *u, const char *const *a) { return kvdmc_cast_seek(u, dec(a[0])); },
     nullptr},
    {"volume", true, false,
     [](const char *u, const char *const *a) { return kvdmc_cast_volume(u, dec(a[0])); },
     // A read answers the volume itself: any non-negative result is success.
     [](int r, const char *const *a) { return dec(a[0]) < 0 ? r >= 0 : r == 0; }},
    {"state", false, true, [](const char *u, const char *const *) { return kvdmc_cast_state(u); }, nullptr},
};

int cmd_cast(int argc, char **argv, const settings &s) {
    const cast_action *act = nullptr;
    int at = argc; // index of the action argument
    for (int i = 2; i < argc && !act; i++)
        for (const cast_action &c : CAST_ACTIONS)
            if (strcmp(argv[i], c.name) == 0) {
                act = &c;
                at = i;
                break;
            }
    const char *a[3];
    for (int k = 0; k < 3; k++) a[k] = at + 1 + k < argc ? argv[at + 1 + k] : nullptr;

    if (s.udn.empty()) {
        fputs("cast: --udn required\n", stderr);
        return 2;
    }
    if (!find_or_discover(s.udn.c_str(), KVDMC_KIND_RENDERER, s.timeout)) {
        fprintf(stderr, "cast: %s not found\n", s.udn.c_str());
        return 1;
    }
    // The tool's own, stricter check: the renderer must be named byte for byte,
    // so a typo in letter case does not reach a device by accident.
    if (!on_tool_allow_list(s, s.udn)) {
        fprintf(stderr, "cast: %s is not on the allow-list (pass --allow %s)\n", s.udn.c_str(),
                s.udn.c_str());
        return 3;
    }
    if (kvdmc_cast_allow(s.udn.c_str()) != 0) {
        fputs("cast: allow failed\n", stderr);
        return 3;
    }
    if (!act || (act->needs_value && !a[0])) {
        fputs("cast: set|play|pause|stop|seek|volume|state\n", stderr);
        return 2;
    }

    int r = act->call(s.udn.c_str(), a);
    if (act->prints_result) {
        printf("%s=%d\n", act->name, r);
        if (r < 0) {
            fprintf(stderr, "error: %s\n", kvdmc_last_error());
            return 1;
        }
        return 0;
    }
    bool ok = act->ok ? act->ok(r, a) : r == 0;
    printf("cast %s=%d %s\n", act->name, r, ok ? "" : kvdmc_last_error());
    return ok ? 0 : 1;
}

// ---- play

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

// The renderer's Sink is only advice: a renderer may play more than it lists.
void warn_unless_sink_has(const std::string &renderer, const std::string &mime) {
    if (mime.empty()) {
        fprintf(stderr, "play: warning: the item's format is unknown; not checked against %s\n",
                renderer.c_str());
        return;
    }
    int r = sink_lists(renderer, mime);
    if (r == 0)
        fprintf(stderr, "play: warning: %s does not list %s among the formats it plays; trying anyway\n",
                renderer.c_str(), mime.c_str());
    else if (r < 0)
        fprintf(stderr, "play: warning: could not read the formats %s plays: %s\n", renderer.c_str(),
                kvdmc_last_error());
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

int cmd_play(int argc, char **argv, const settings &s) {
    const char *path = path_argument(argc, argv);
    if (s.udn.empty() || s.to.empty() || !path) {
        fprintf(stderr, "usage: %s play --udn <server> --to <renderer> --allow <renderer> <path> [--wait]\n",
                s.prog);
        return 2;
    }
    // Before anything is sent, the search included: a renderer the user did not name
    // twice is never contacted.
    if (!on_tool_allow_list(s, s.to)) {
        fprintf(stderr, "play: %s is not on the allow-list (pass --allow %s)\n", s.to.c_str(), s.to.c_str());
        return 3;
    }
    int early = open_layer("play", s);
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

} // namespace

int main(int argc, char **argv) {
    const char *command = argc > 1 ? argv[1] : "";
    settings s;
    s.prog = program_name(argc, argv);
    // Only as the command: later arguments keep their meaning (a title may be "-h").
    if (strcmp(command, "--help") == 0 || strcmp(command, "-h") == 0) {
        print_usage(stdout, s.prog);
        fputs(HELP, stdout);
        return 0;
    }
    int early = scan_options(argc, argv, s);
    if (early >= 0) return early;

    if (strcmp(command, "discover") == 0) return cmd_discover(s);
    if (strcmp(command, "browse") == 0) return cmd_browse(argc, argv, s);
    if (strcmp(command, "cast") == 0) return cmd_cast(argc, argv, s);
    if (strcmp(command, "ls") == 0) return cmd_ls(argc, argv, s);
    if (strcmp(command, "url") == 0) return cmd_url(argc, argv, s);
    if (strcmp(command, "play") == 0) return cmd_play(argc, argv, s);
    print_usage(stderr, s.prog);
    return 2;
}
