// kvdmc-cli's commands that read: discover, browse, and ls and url through the file/folder
// access layer.
#include <string.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>

#include "commands.h"
#include "kvdmc.h"
#include "kvffa.h"

namespace {

// What identifies a device line: its "udn" member, which comes first. Inside the JSON
// string a quote is escaped, so the first `,"kind":` ends it.
std::string device_line_key(const char *json) {
    const char *end = strstr(json, ",\"kind\":");
    return end ? std::string(json, (size_t)(end - json)) : std::string(json);
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

} // namespace

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

int cmd_browse(const settings &s) {
    if (s.udn.empty()) {
        print_command_usage(s);
        return 2;
    }
    if (!find_or_discover(s.udn.c_str(), KVDMC_KIND_SERVER, s.timeout)) {
        fprintf(stderr, "browse: %s not found\n", s.udn.c_str());
        return 1;
    }
    int r = kvdmc_browse(s.udn.c_str(), object_id(s), s.start, s.count, KVDMC_BROWSE_CHILDREN);
    printf("browse=%d total=%d start=%d count=%d\n", r, kvdmc_total_matches(), s.start, s.count);
    if (r < 0) {
        fprintf(stderr, "error: %s\n", kvdmc_last_error());
        return 1;
    }
    // A listing the library ended early (the cap, the time limit, a server repeating
    // itself) still succeeds; the user is told why it is short.
    if (kvdmc_last_code() == KVDMC_E_CAP) fprintf(stderr, "note: %s\n", kvdmc_last_error());
    for (int i = 0; i < kvdmc_item_count(); i++) printf("%s\n", kvdmc_item_json(i));
    return 0;
}

int open_layer(const settings &s) {
    if (s.udn.empty()) {
        print_command_usage(s);
        return 2;
    }
    if (!find_or_discover(s.udn.c_str(), KVDMC_KIND_SERVER, s.timeout)) {
        fprintf(stderr, "%s: %s not found\n", s.cmd->name, s.udn.c_str());
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

int cmd_ls(const settings &s) {
    int early = open_layer(s);
    if (early >= 0) return early;
    const char *path = object_id(s);
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

int cmd_url(const settings &s) {
    const char *path = path_operand(s);
    if (!path) {
        print_command_usage(s);
        return 2;
    }
    int early = open_layer(s);
    if (early >= 0) return early;
    const char *url = kvffa_locator(path);
    if (!url) {
        fprintf(stderr, "error: %s\n", kvffa_last_error());
        return 1;
    }
    printf("%s\n", url);
    return 0;
}
