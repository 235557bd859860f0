// The command line of kvdmc-cli: a table of the commands and a table of the options, which
// commands take each and what it does. The parse, the usage, --help and "help COMMAND"
// all read these two tables, so what the tool accepts and what it says it accepts are the
// same list. An option the command does not take, or one without its argument, is refused
// with one line: a mistyped option must not quietly run something else.
#include "options.h"

#include <limits.h>
#include <string.h>

#include <algorithm>

#include "commands.h"
#include "textread.h"

namespace {

// Result of an option's action: go on with the next argument.
constexpr int GO_ON = -1;

enum : unsigned {
    DISCOVER = 1u << 0,
    BROWSE = 1u << 1,
    CAST = 1u << 2,
    LS = 1u << 3,
    URL = 1u << 4,
    PLAY = 1u << 5,
    HELP = 1u << 6,
    ON_DEVICE = BROWSE | CAST | LS | URL | PLAY,
    SEARCHING = DISCOVER | ON_DEVICE, // the usage shows these options as "[search options]"
    EVERY = SEARCHING | HELP,         // the usage leaves these out
};

int cmd_help(const settings &s);

// A new command adds its row here, its bit above and its section to docs/kvdmc-cli.1.
const command COMMANDS[] = {
    {"discover", DISCOVER, "",
     "search for media servers (kind 1) and renderers (kind 2); prints\n"
     "one JSON line per device as it answers, then discover=N; a line's\n"
     "\"udn\" is what --udn takes",
     cmd_discover, nullptr},
    {"browse", BROWSE, "[objectid]",
     "list the children of folder objectid (default 0, the root) as JSON\n"
     "lines after the line \"browse=N total=T start=S count=C\"; a folder\n"
     "line's \"id\" is the objectid of that folder",
     cmd_browse, nullptr},
    {"cast", CAST, "set|play|pause|stop|seek|volume|state [...]",
     "drive a renderer, named twice byte for byte: --udn U --allow U\n"
     "  set URL [MIME [TITLE]]  hand it a media URL (an item's res.url);\n"
     "                          MIME defaults to video/mp4\n"
     "  play | pause | stop\n"
     "  seek SECONDS\n"
     "  volume 0..100           set the volume; volume -1 reads it\n"
     "  state                   print state=0 stopped, 1 paused or no\n"
     "                          media, 2 playing\n"
     "the words after the action are its own, even one that begins with -",
     cmd_cast, cast_action_words},
    {"ls", LS, "[path]",
     "list folder path (default 0) through the file/folder access layer;\n"
     "prints the layer's result as one JSON object: the first page and\n"
     "whether more follow, or with --all every page (on a terminal, a\n"
     "folder of more than 1000 entries shows its progress on stderr). A\n"
     "path is an objectid, or objectid/child with the child's index or\n"
     "name",
     cmd_ls, nullptr},
    {"url", URL, "<path>",
     "print the stream URL of path (an item's objectid, or\n"
     "objectid/child)",
     cmd_url, nullptr},
    {"play", PLAY, "<path>",
     "play the item at path (as for url) of server --udn on renderer\n"
     "--to, which --allow must name byte for byte: warns when the\n"
     "renderer does not list the item's format, hands it the item with\n"
     "its title, starts it and prints play=0 URL once it plays (waiting\n"
     "up to 10 s while it is TRANSITIONING). With --wait it then shows\n"
     "position / duration until the renderer stops; Ctrl-C stops the\n"
     "renderer before the tool exits",
     cmd_play, nullptr},
    {"help", HELP, "<command>", "print the usage, the options and the description of one command", cmd_help,
     nullptr},
};

int notice(settings &, const char *) {
    fputs("cli --test: use the .console harness\n", stdout);
    return 0;
}

void print_command_help(const command &c, const char *prog);

int own_help(settings &s, const char *) {
    print_command_help(*s.cmd, s.prog);
    return 0;
}

int version(settings &, const char *) {
    return print_version();
}

template <int settings::*field> int set_int(settings &s, const char *v) {
    s.*field = dec(v);
    return GO_ON;
}

template <bool settings::*field> int set_flag(settings &s, const char *) {
    s.*field = true;
    return GO_ON;
}

template <std::string settings::*field> int set_udn(settings &s, const char *v) {
    (s.*field).assign(v, utf8_cut(v, strlen(v), UDN_MAX));
    return GO_ON;
}

int set_page(settings &s, const char *v) {
    s.page = dec(v);
    s.page_given = true;
    return GO_ON;
}

// The list holds eight; a ninth value is read and left out, so casting to it is refused.
int add_allow(settings &s, const char *v) {
    if (s.nallow < ALLOW_MAX) s.allow[s.nallow++] = v;
    return GO_ON;
}

// Set during the parse, so a bad address ends the tool before anything is sent.
int use_interface(settings &, const char *v) {
    if (kvdmc_config("ssdp_if", v) == 0) return GO_ON;
    fputs("bad --if\n", stderr);
    return 2;
}

int add_host(settings &s, const char *v) {
    if (!s.hosts.empty()) s.hosts += ',';
    s.hosts += v;
    return GO_ON;
}

struct option {
    const char *name;
    const char *alias; // another spelling, or null
    const char *arg;   // what its argument is, or null when it takes none
    unsigned takes;    // the commands that take it
    unsigned needs;    // the commands that cannot do without it (bare in their usage)
    const char *help;
    int (*apply)(settings &s, const char *arg); // GO_ON, or the exit code
};

// In the order of the usage. A new option adds its row here and its entry to
// docs/kvdmc-cli.1; tests/cli_test.sh checks that both list the same options.
constexpr option OPTIONS[] = {
    {"--udn", nullptr, "<udn>", ON_DEVICE, ON_DEVICE,
     "the device to browse, list or cast to; play: the server", set_udn<&settings::udn>},
    {"--to", nullptr, "<udn>", PLAY, PLAY, "the renderer to play on", set_udn<&settings::to>},
    {"--allow", nullptr, "<udn>", CAST | PLAY, CAST | PLAY, "allow casting to this renderer (up to 8 times)",
     add_allow},
    {"--kind", nullptr, "1|2|3", DISCOVER, 0, "1 servers, 2 renderers, 3 both (default 3)",
     set_int<&settings::kind>},
    {"--start", nullptr, "N", BROWSE, 0, "skip the first N children", set_int<&settings::start>},
    {"--count", nullptr, "N", BROWSE, 0, "passed to the library, printed in the summary line",
     set_int<&settings::count>},
    {"--page", nullptr, "N", LS, 0, "entries per page, 1..65536 (default 256)", set_page},
    {"--all", nullptr, nullptr, LS, 0, "follow every page", set_flag<&settings::all>},
    {"--wait", nullptr, nullptr, PLAY, 0, "follow the playback until the renderer stops",
     set_flag<&settings::wait>},
    {"--timeout", nullptr, "ms", SEARCHING, 0,
     "how long a search listens at most, 100..30000\n(default 3000)", set_int<&settings::timeout>},
    {"--if", nullptr, "ip", SEARCHING, 0,
     "IPv4 address of the one interface to search on\n(default: every interface)", use_interface},
    {"--host", nullptr, "ip[:port]", SEARCHING, 0,
     "also send every search to this address by unicast\n(port 1900 unless given); may be repeated",
     add_host},
    {"--test", nullptr, nullptr, EVERY, 0, "print a notice for test harnesses and exit 0", notice},
    {"--help", "-h", nullptr, EVERY, 0,
     "print the command's help and exit 0; as the command,\nthe help of every command", own_help},
    {"--version", nullptr, nullptr, EVERY, 0, "print the library's version and exit 0", version},
};

const option *find_option(const char *a) {
    for (const option &o : OPTIONS)
        if (strcmp(a, o.name) == 0 || (o.alias && strcmp(a, o.alias) == 0)) return &o;
    return nullptr;
}

// How far apart two option names are, leading dashes and letter case aside: edits, with
// two neighbours swapped counting as one; a typed prefix of three letters or more of the
// name counts as one edit.
int distance(const char *typed, const char *name) {
    while (*typed == '-') typed++;
    while (*name == '-') name++;
    size_t n = strlen(typed), m = strlen(name);
    if (n >= 3 && n < m &&
        std::equal(typed, typed + n, name, [](char a, char b) { return ascii_lower(a) == ascii_lower(b); }))
        return 1;
    if (n > 32 || m > 32) return INT_MAX;
    int d[33][33];
    for (size_t i = 0; i <= n; i++) d[i][0] = (int)i;
    for (size_t j = 0; j <= m; j++) d[0][j] = (int)j;
    for (size_t i = 1; i <= n; i++)
        for (size_t j = 1; j <= m; j++) {
            int cost = ascii_lower(typed[i - 1]) != ascii_lower(name[j - 1]);
            int best = d[i - 1][j - 1] + cost;
            if (d[i - 1][j] + 1 < best) best = d[i - 1][j] + 1;
            if (d[i][j - 1] + 1 < best) best = d[i][j - 1] + 1;
            if (i > 1 && j > 1 && ascii_lower(typed[i - 1]) == ascii_lower(name[j - 2]) &&
                ascii_lower(typed[i - 2]) == ascii_lower(name[j - 1]) && d[i - 2][j - 2] + 1 < best)
                best = d[i - 2][j - 2] + 1;
            d[i][j] = best;
        }
    return d[n][m];
}

// The option of the command that the unknown argument most likely meant, or null when
// none is near: at most two edits, and fewer than half the letters of the name.
const option *closest(const char *typed, unsigned cmd) {
    const option *best = nullptr;
    int best_d = INT_MAX;
    for (const option &o : OPTIONS) {
        if (!(o.takes & cmd)) continue;
        const char *name = o.name;
        while (*name == '-') name++;
        int d = distance(typed, o.name);
        if (d <= 2 && 2 * d < (int)strlen(name) && d < best_d) {
            best = &o;
            best_d = d;
        }
    }
    return best;
}

// "cast and play": the commands of a set, for a refusal.
std::string command_names(unsigned set) {
    std::vector<const char *> names;
    for (const command &c : COMMANDS)
        if (c.bit & set) names.push_back(c.name);
    std::string t;
    for (size_t i = 0; i < names.size(); i++) {
        if (i) t += i + 1 < names.size() ? ", " : " and ";
        t += names[i];
    }
    return t;
}

int refuse(const settings &s, const char *a, const option *o) {
    const char *cmd = s.cmd->name;
    if (o) {
        fprintf(stderr, "%s: option '%s' is for %s\n", cmd, a, command_names(o->takes).c_str());
    } else if (const option *near = closest(a, s.cmd->bit)) {
        fprintf(stderr, "%s: unknown option '%s' (did you mean '%s'?)\n", cmd, a, near->name);
    } else {
        fprintf(stderr, "%s: unknown option '%s'\n", cmd, a);
    }
    return 2;
}

// "-1" and "-" are values (a volume read, a name); "--" ends the options.
bool looks_like_option(const char *a) {
    return a[0] == '-' && a[1] && !(a[1] >= '0' && a[1] <= '9');
}

std::string synopsis(const command &c) {
    std::string t = c.name;
    bool search = false;
    for (const option &o : OPTIONS) {
        if (!(o.takes & c.bit) || o.takes == EVERY) continue;
        if (o.takes == SEARCHING) {
            search = true;
            continue;
        }
        std::string w = std::string(o.name) + (o.arg ? std::string(" ") + o.arg : "");
        t += o.needs & c.bit ? " " + w : " [" + w + "]";
    }
    if (search) t += " [search options]";
    if (*c.operands) t += std::string(" ") + c.operands;
    return t;
}

std::string search_options() {
    std::string t;
    for (const option &o : OPTIONS)
        if (o.takes == SEARCHING) t += std::string(" [") + o.name + " " + o.arg + "]";
    return t;
}

// A text of several lines, the first after lead, every line indented to column indent.
void print_indented(FILE *to, const char *lead, const char *text, int indent) {
    fprintf(to, "%-*s", indent, lead);
    for (const char *p = text; *p;) {
        const char *nl = strchr(p, '\n');
        size_t len = nl ? (size_t)(nl - p) : strlen(p);
        fprintf(to, "%.*s\n", (int)len, p);
        if (!nl) break;
        p = nl + 1;
        fprintf(to, "%*s", indent, "");
    }
}

std::string option_label(const option &o) {
    std::string l = o.alias ? std::string(o.alias) + ", " : "";
    l += o.name;
    if (o.arg) l += std::string(" ") + o.arg;
    return l;
}

// The option lines of the commands in set, the help texts in one column.
void print_options(FILE *to, unsigned set) {
    size_t width = 0;
    for (const option &o : OPTIONS) width = std::max(width, option_label(o).size());
    for (const option &o : OPTIONS)
        if (o.takes & set) print_indented(to, ("  " + option_label(o)).c_str(), o.help, (int)width + 4);
}

void print_command_help(const command &c, const char *prog) {
    fprintf(stdout, "usage: %s %s\n\n", prog, synopsis(c).c_str());
    print_indented(stdout, "", c.about, 2);
    fputs("\noptions:\n", stdout);
    print_options(stdout, c.bit);
}

int cmd_help(const settings &s) {
    const command *c = s.args.empty() ? nullptr : find_command(s.args[0]);
    if (!c) {
        print_usage(stderr, s.prog);
        return 2;
    }
    print_command_help(*c, s.prog);
    return 0;
}

const char INTRO[] = "Finds DLNA/UPnP media servers and renderers, browses a server's folders and\n"
                     "drives a renderer. Results go to stdout as text and JSON lines, errors to\n"
                     "stderr.\n";

const char SEARCHES[] = "  browse, cast, ls, url and play search for their device, also by its UDN,\n"
                        "  and go on as soon as it answers; --timeout is the most they wait.\n";

const char EXIT_CODES[] = "exit codes:\n"
                          "  0    success\n"
                          "  1    a library call failed, the device was not found, or the renderer did\n"
                          "       not start playing\n"
                          "  2    usage error\n"
                          "  3    casting refused (no matching --allow)\n"
                          "  130  play interrupted by Ctrl-C (the renderer was stopped)\n";

} // namespace

const command *find_command(const char *name) {
    for (const command &c : COMMANDS)
        if (strcmp(name, c.name) == 0) return &c;
    return nullptr;
}

int parse_options(int argc, char **argv, settings &s) {
    bool options_end = false;
    int own_words = 0; // arguments still to be taken as they are
    for (int i = 2; i < argc; i++) {
        const char *a = argv[i];
        if (own_words > 0 || options_end || !looks_like_option(a)) {
            if (own_words > 0)
                own_words--;
            else if (s.cmd->words_after)
                own_words = s.cmd->words_after(a);
            s.args.push_back(a);
            continue;
        }
        if (strcmp(a, "--") == 0) {
            options_end = true;
            continue;
        }
        const option *o = find_option(a);
        if (!o || !(o->takes & s.cmd->bit)) return refuse(s, a, o);
        const char *v = "";
        if (o->arg) {
            if (i + 1 >= argc) {
                fprintf(stderr, "%s: option '%s' needs an argument: %s %s\n", s.cmd->name, a, o->name,
                        o->arg);
                return 2;
            }
            v = argv[++i];
        }
        int rc = o->apply(s, v);
        if (rc != GO_ON) return rc;
    }
    // The addresses go to the library as one list, before any search.
    if (!s.hosts.empty() && kvdmc_config("ssdp_hosts", s.hosts.c_str()) != 0) {
        fprintf(stderr, "bad --host: %s\n", kvdmc_last_error());
        return 2;
    }
    return GO_ON;
}

void print_usage(FILE *to, const char *prog) {
    const char *lead = "usage:";
    for (const command &c : COMMANDS) {
        fprintf(to, "%s %s %s\n", lead, prog, synopsis(c).c_str());
        lead = "      ";
    }
    fprintf(to, "%s %s -h | --help | --version\n", lead, prog);
    fprintf(to, "search options:%s\n", search_options().c_str());
}

void print_command_usage(const settings &s) {
    fprintf(stderr, "usage: %s %s\n", s.prog, synopsis(*s.cmd).c_str());
}

void print_help(const char *prog) {
    print_usage(stdout, prog);
    fprintf(stdout, "\n%s\ncommands:\n", INTRO);
    for (const command &c : COMMANDS) {
        std::string lead = std::string("  ") + c.name;
        print_indented(stdout, lead.c_str(), c.about, 12);
    }
    fputs(SEARCHES, stdout);
    fputs("\noptions (after the command):\n", stdout);
    print_options(stdout, EVERY);
    fprintf(stdout, "\n%s", EXIT_CODES);
}

int print_version() {
    printf("kvdmc %s\n", kvdmc_version());
    return 0;
}

int dec(const char *a) {
    return (int)leading_int(a, INT_MAX);
}

const char *object_id(const settings &s) {
    return s.args.empty() || !*s.args[0] ? "0" : s.args[0];
}

const char *path_operand(const settings &s) {
    return s.args.empty() || !*s.args[0] ? nullptr : s.args[0];
}
