// Network interfaces by name and index: the same calls on every platform, apart from the
// socket files so that what only names an interface needs none of the socket's calls.
#pragma once

#include <stdint.h>

// The index of the network interface with this name (eth0; on Windows the adapter's name), or
// 0 when there is none.
uint32_t find_interface(const char *name);

// Whether a network interface has this index.
bool interface_index_exists(uint32_t index);
