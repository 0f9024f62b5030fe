// The streams of --config: a TOML file of [[stream]] tables, with a [defaults] table for the
// keys they share, read with toml++ and checked whole before anything is joined.
#pragma once

#include <stddef.h>

#include "app/app.h"

// The most streams one file may name.
#define CONFIG_STREAMS_MAX 4096

// Reads the file's streams into options->streams, made once and kept until free_config.
// The command line's -i, layout and --sent-at stand in for keys that neither a stream nor
// [defaults] gives. Returns 0, or -1 after one error line naming the file, the line and what
// is wrong.
int read_config(const char *path, settings *options);

// Frees the streams read and the texts they hold.
void free_config(settings *options);

// The same as read_config, from the file's text; path only names it in the error line.
int read_config_text(const char *text, size_t length, const char *path, settings *options);
