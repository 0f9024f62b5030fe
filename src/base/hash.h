// One hash for the tables keyed by addresses (the sender table, the capture's streams).
#pragma once

#include <stddef.h>
#include <stdint.h>

// FNV-1a: cheap, and good enough for keys that an attacker may choose, since a full table
// only costs probes, never memory.
inline uint32_t hash_bytes(const unsigned char *bytes, size_t count)
{
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < count; i++)
        hash = (hash ^ bytes[i]) * 16777619u;
    return hash;
}
