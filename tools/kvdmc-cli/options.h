// The command line of kvdmc-cli: the commands, the settings their options fill, and the
// texts printed from the tables that define them.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

#include "kvdmc.h"

enum { UDN_MAX = 127, ALLOW_MAX = 8, ALLOW_LEN = 79 };

struct settings;

// One command: how it is named and runs, and what its usage and help say of it.
struct command {
    const char *name;
    unsigned bit;         // its bit in the option table's command sets
    const char *operands; // the usage's words after the options
    const char *about;    // what --help and "help COMMAND" say it does
    int (*run)(const settings &s);
    // How many arguments after this one belong to it as they are, even when they look like
    // options (the arguments of a cast action: a title may be "-h"); null: none.
    int (*words_after)(const char *arg);
};

struct settings {
    const char *prog = "kvdmc-cli"; // as invoked, for the usage texts
    const command *cmd = nullptr;
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
    std::string hosts;              // --host values, joined by commas
    std::vector<const char *> args; // the arguments that are no options, in order
};

// The command so named, or null.
const command *find_command(const char *name);

// Reads argv[2...] into s for s.cmd, applying each option as it comes. -1 to go on with
// the command, else the exit code to end with at once (after --test, --help, --version,
// or a refusal already printed).
int parse_options(int argc, char **argv, settings &s);

// The usage of every command: to stderr after a mistake, to stdout when asked for.
void print_usage(FILE *to, const char *prog);
// The usage line of s.cmd alone, to stderr: a command missing what it needs.
void print_command_usage(const settings &s);
// kvdmc-cli --help.
void print_help(const char *prog);
// kvdmc-cli --version.
int print_version();

// The decimal value of an argument, as atoi reads it, but saturating instead of
// overflowing on huge numbers.
int dec(const char *a);

// browse and ls: the object id or path, "0" when none is given or it is empty.
const char *object_id(const settings &s);
// url and play: the path, or null when none is given or it is empty.
const char *path_operand(const settings &s);
