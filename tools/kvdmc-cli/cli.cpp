// kvdmc-cli: discover devices, browse a media server and drive a renderer by hand.
// It drives the library only through the public API, exactly as a host would, and
// the file/folder access layer for ls and url; it selects no transport of its own.
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <string>

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
                    "            discover=N, then one JSON line per device; its \"udn\" is what --udn\n"
                    "            takes\n"
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
                    "            whether more follow, or with --all every page. A path is an\n"
                    "            objectid, or objectid/child with the child's index or name\n"
                    "  url       print the stream URL of path (an item's objectid, or\n"
                    "            objectid/child)\n"
                    "  browse, cast, ls and url first run one discovery (--timeout) to find the\n"
                    "  device.\n"
                    "\n"
                    "options (after the command):\n"
                    "  --if ip       IPv4 address of the one interface to search on (default:\n"
                    "                every interface)\n"
                    "  --kind k      discover: 1 servers, 2 renderers, 3 both (default 3)\n"
                    "  --timeout ms  listening time of a discovery, 100..30000 (default 3000)\n"
                    "  --udn udn     the device to browse or cast to\n"
                    "  --allow udn   allow casting to this renderer (up to 8 times)\n"
                    "  --start N     browse: skip the first N children\n"
                    "  --count N     browse: passed to the library, printed in the summary line\n"
                    "  --page N      ls: entries per page, 1..65536 (default 256)\n"
                    "  --all         ls: follow every page\n"
                    "  --test        print a notice for test harnesses and exit 0\n"
                    "  -h, --help    (as the command) print this help and exit 0\n"
                    "\n"
                    "exit codes:\n"
                    "  0  success\n"
                    "  1  a library call failed, or the device was not found\n"
                    "  2  usage error\n"
                    "  3  casting refused (no matching --allow)\n";

// Options that take a value; browse skips them (and their values) when it
// looks for the object id.
const char *const VALUE_OPTS[] = {"--if",  "--timeout", "--kind",  "--allow",
                                  "--udn", "--start",   "--count", "--page"};

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
    std::string udn;
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
        } else if (strcmp(a, "--all") == 0) {
            s.all = true;
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

// A device not yet in the table gets exactly one discovery run of the given kind.
bool find_or_discover(const char *udn, int kind, int timeout) {
    if (kvdmc_find_device(udn) >= 0) return true;
    if (kvdmc_discover(kind, timeout) < 0) return false;
    return kvdmc_find_device(udn) >= 0;
}

int cmd_discover(const settings &s) {
    int r = kvdmc_discover(s.kind, s.timeout);
    printf("discover=%d\n", r);
    if (r < 0) {
        fprintf(stderr, "error: %s\n", kvdmc_last_error());
        return 1;
    }
    for (int i = 0; i < kvdmc_device_count(); i++) printf("%s\n", kvdmc_device_json(i));
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

int cmd_ls(int argc, char **argv, const settings &s) {
    int early = open_layer("ls", s);
    if (early >= 0) return early;
    const char *path = browse_object_id(argc, argv);
    int r = s.all ? kvffa_list_all(path) : kvffa_list(path);
    if (r != KVFFA_OK) {
        fprintf(stderr, "error: %s\n", kvffa_last_error());
        return 1;
    }
    printf("%s\n", kvffa_result_json());
    return 0;
}

int cmd_url(int argc, char **argv, const settings &s) {
    const char *path = browse_object_id(argc, argv);
    bool given = false;
    for (int i = 2; i < argc && !given; i++) given = argv[i] == path;
    if (!given) {
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

bool on_tool_allow_list(const settings &s) {
    for (int i = 0; i < s.nallow; i++)
        if (s.allow[i].size() <= ALLOW_LEN && s.allow[i] == s.udn) return true;
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
    if (!on_tool_allow_list(s)) {
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
    print_usage(stderr, s.prog);
    return 2;
}
