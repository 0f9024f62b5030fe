// Multicast queries as a querier sends them, read from the bytes a raw socket gives: IGMP
// (versions 1 to 3) in a whole IPv4 packet, MLD (versions 1 and 2) in an ICMPv6 message. Pure:
// no socket, no clock, so that every version and every malformed form is a row of a table.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum query_version { QUERY_IGMP_V1, QUERY_IGMP_V2, QUERY_IGMP_V3, QUERY_MLD_V1, QUERY_MLD_V2 };

// What a query says. Addresses are as on the wire: IPv4 in the first 4 bytes, the rest zero.
struct query_reading {
    query_version version;
    unsigned char querier[16];  // who sent it
    unsigned char group[16];    // the group asked about; all zero: a general query
    bool general;
    uint32_t interval_s;        // the query interval it announces; 0: its version has none
};

// Reads an IPv4 packet (header included, as a raw IGMP socket reads it): 1 when it is a valid
// IGMP query, read into out; 0 when it is anything else (a report, a leave, a bad checksum, a
// length no version has, a packet cut short).
int read_igmp_query(const unsigned char *packet, size_t length_bytes, query_reading *out);

// Reads an ICMPv6 message (no IPv6 header, as a raw ICMPv6 socket reads it; the system has
// checked its checksum) from source: 1 when it is a valid MLD query, read into out; else 0.
int read_mld_query(const unsigned char *message, size_t length_bytes,
                   const unsigned char source[16], query_reading *out);

// Writes an address of the query's family (its querier or its group) as text, as
// format_host does; returns the end.
char *format_query_host(char *out, const query_reading *query, const unsigned char *address);

// "IGMPv3", "MLDv1": as the lines and the metrics name a version.
const char *query_version_name(query_version version);
