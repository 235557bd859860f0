// kvdmc-cli: discover devices, browse a media server and drive a renderer by hand.
// It drives the library through the public API, as a host would, and the file/folder
// access layer for ls, url and play; it selects no transport of its own. Beyond the API
// it uses only the two entry points of component.h: a search that ends when its device
// answers, and the renderer's transport state by name.
//
// This unit is the frame: the command is read here, its options by options.cpp, and
// each command runs in listing.cpp, cast.cpp or play.cpp.
#include <string.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <chrono>
#include <thread>

#include "commands.h"
#include "component.h"
#include "kvdmc.h"

namespace {

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

} // namespace

bool find_or_discover(const char *udn, int kind, int timeout) {
    return discover_device(kind, udn, timeout) >= 0;
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

int main(int argc, char **argv) {
    const char *name = argc > 1 ? argv[1] : "";
    settings s;
    s.prog = program_name(argc, argv);
    // Only as the command: later arguments keep their meaning (a title may be "-h").
    if (strcmp(name, "--help") == 0 || strcmp(name, "-h") == 0) {
        print_help(s.prog);
        return 0;
    }
    if (strcmp(name, "--version") == 0) return print_version();
    s.cmd = find_command(name);
    if (!s.cmd) {
        print_usage(stderr, s.prog);
        return 2;
    }
    int early = parse_options(argc, argv, s);
    if (early >= 0) return early;
    return s.cmd->run(s);
}
