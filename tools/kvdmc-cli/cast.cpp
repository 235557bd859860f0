// kvdmc-cli cast: one action on a renderer the user named twice, by --udn and --allow.
#include <string.h>

#include "commands.h"
#include "kvdmc.h"

namespace {

// One cast action: the call it makes with the renderer and the words after the action
// (a[0] its value, a[1] and a[2] what follows; null when absent), and when it succeeded.
struct cast_action {
    const char *name;
    int words;          // how many words after it are its own; the first is required
    bool prints_result; // "name=<result>" alone, as a read does
    int (*call)(const char *udn, const char *const *a);
    bool (*ok)(int r, const char *const *a); // null: 0 is success
};

const cast_action CAST_ACTIONS[] = {
    {"set", 3, false,
     [](const char *u, const char *const *a) {
         return kvdmc_cast_set_uri(u, a[0], a[1] ? a[1] : "video/mp4", a[2] ? a[2] : "");
     },
     nullptr},
    {"play", 0, false, [](const char *u, const char *const *) { return kvdmc_cast_play(u); }, nullptr},
    {"pause", 0, false, [](const char *u, const char *const *) { return kvdmc_cast_pause(u); }, nullptr},
    {"stop", 0, false, [](const char *u, const char *const *) { return kvdmc_cast_stop(u); }, nullptr},
    {"seek", 1, false, [](const char *u, const char *const *a) { return kvdmc_cast_seek(u, dec(a[0])); },
     nullptr},
    {"volume", 1, false, [](const char *u, const char *const *a) { return kvdmc_cast_volume(u, dec(a[0])); },
     // A read answers the volume itself: any non-negative result is success.
     [](int r, const char *const *a) { return dec(a[0]) < 0 ? r >= 0 : r == 0; }},
    {"state", 0, true, [](const char *u, const char *const *) { return kvdmc_cast_state(u); }, nullptr},
};

const cast_action *find_action(const char *word) {
    for (const cast_action &c : CAST_ACTIONS)
        if (strcmp(word, c.name) == 0) return &c;
    return nullptr;
}

} // namespace

int cast_action_words(const char *arg) {
    const cast_action *act = find_action(arg);
    return act ? act->words : 0;
}

bool on_tool_allow_list(const settings &s, const std::string &udn) {
    for (int i = 0; i < s.nallow; i++)
        if (s.allow[i].size() <= ALLOW_LEN && s.allow[i] == udn) return true;
    return false;
}

int cmd_cast(const settings &s) {
    // The first word naming an action is the action; the words after it are its own.
    const cast_action *act = nullptr;
    size_t at = s.args.size();
    for (size_t i = 0; i < s.args.size() && !act; i++)
        if ((act = find_action(s.args[i]))) at = i;
    const char *a[3];
    for (size_t k = 0; k < 3; k++) a[k] = at + 1 + k < s.args.size() ? s.args[at + 1 + k] : nullptr;

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
    if (!act || (act->words > 0 && !a[0])) {
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
