// How deep a TOML text nests, found before toml++ reads it: toml++ 3.3 follows a dotted key
// or a table header by recursion, so one of a few hundred thousand parts ends the process.
#pragma once

#include <stddef.h>

// The deepest a --config file may nest: a dotted key's parts under its table header, inline
// tables and arrays, each a level (a stream's keys are at level 3: the array "stream", its
// table, the key).
#define CONFIG_DEPTH_MAX 16

// The line where the text first nests deeper than CONFIG_DEPTH_MAX, or 0 where it does not.
// Malformed text is left for toml++ to name.
int line_too_deep(const char *text, size_t length);
