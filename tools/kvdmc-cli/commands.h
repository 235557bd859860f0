// The commands of kvdmc-cli, each run with the settings its command line gave, and the few
// things more than one of them uses. Each returns the tool's exit code.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>

#include "options.h"

// listing.cpp
int cmd_discover(const settings &s);
int cmd_browse(const settings &s);
int cmd_ls(const settings &s);
int cmd_url(const settings &s);
// Finds the server and opens the access layer on it: -1 when ready, else the exit code.
int open_layer(const settings &s);

// cast.cpp
int cmd_cast(const settings &s);
// How many words after arg belong to it as a cast action (a URL, a value): 0 for others.
int cast_action_words(const char *arg);
// The tool's own, stricter allow-list: the renderer named by --allow byte for byte.
bool on_tool_allow_list(const settings &s, const std::string &udn);

// play.cpp
int cmd_play(const settings &s);

// cli.cpp
// One search of the given kind that also asks for the device by its UDN and goes on as
// soon as it answers; --timeout is the most it waits.
bool find_or_discover(const char *udn, int kind, int timeout);
bool is_terminal(FILE *f);
void sleep_ms(int ms);
uint64_t now_ms();
