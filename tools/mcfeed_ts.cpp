#include "mcfeed.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/mpegts.h"

// The stream mcfeed makes repeats a cycle of ten datagrams: a PAT first, a PMT halfway, a
// null packet last in each datagram, and two elementary PIDs in the rest.
#define CYCLE_PACKETS (10 * TS_PACKETS_PER_DATAGRAM)
#define PMT_PID 0x1000
#define VIDEO_PID 256
#define AUDIO_PID 257

static int pid_at(uint64_t index)
{
    uint64_t in_cycle = index % CYCLE_PACKETS;
    if (in_cycle == 0)
        return 0;
    if (in_cycle == CYCLE_PACKETS / 2)
        return PMT_PID;
    uint64_t in_datagram = index % TS_PACKETS_PER_DATAGRAM;
    return in_datagram == TS_PACKETS_PER_DATAGRAM - 1 ? TS_NULL_PID
           : in_datagram < 4                         ? VIDEO_PID
                                                     : AUDIO_PID;
}

// The counter of the packet at index: how many of its PID's packets came before, in four bits.
static unsigned counter_at(uint64_t index, int pid)
{
    uint64_t before = 0, cycles = index / CYCLE_PACKETS;
    for (uint64_t i = 0; i < CYCLE_PACKETS; i++)
        if (pid_at(i) == pid)
            before += i < index % CYCLE_PACKETS ? cycles + 1 : cycles;
    return static_cast<unsigned>(before & 0x0f);
}

// A section after a pointer field, its CRC added; the rest of the packet is stuffing.
static void put_section(unsigned char *packet, const unsigned char *section, size_t length)
{
    packet[4] = 0;
    memcpy(packet + 5, section, length);
    uint32_t crc = ts_crc32(section, length);
    for (int i = 0; i < 4; i++)
        packet[5 + length + size_t(i)] = static_cast<unsigned char>(crc >> (24 - 8 * i));
}

static void make_packet(unsigned char *packet, uint64_t index)
{
    static const unsigned char pat[] = {0x00, 0xb0, 13, 0x00, 0x01, 0xc1, 0, 0,
                                        0x00, 0x01, 0xe0 | (PMT_PID >> 8), PMT_PID & 0xff};
    static const unsigned char pmt[] = {0x02, 0xb0, 23, 0x00, 0x01, 0xc1, 0, 0, 0xe1, 0x00,
                                        0xf0, 0x00, 0x1b, 0xe1, 0x00, 0xf0, 0x00,
                                        0x0f, 0xe1, 0x01, 0xf0, 0x00};
    int pid = pid_at(index);
    memset(packet, 0xff, TS_PACKET_BYTES);
    packet[0] = TS_SYNC_BYTE;
    bool starts = pid == 0 || pid == PMT_PID;
    packet[1] = static_cast<unsigned char>((starts ? 0x40 : 0) | (pid >> 8));
    packet[2] = static_cast<unsigned char>(pid & 0xff);
    packet[3] = static_cast<unsigned char>(0x10 | counter_at(index, pid));
    if (pid == 0)
        put_section(packet, pat, sizeof pat);
    else if (pid == PMT_PID)
        put_section(packet, pmt, sizeof pmt);
}

// A draw from 0 to 1, the same for the same seed, datagram and packet: a duplicate carries
// what its first copy carried.
static double draw(uint64_t seed, uint64_t index)
{
    uint64_t x = seed * 0x9e3779b97f4a7c15u ^ (index + 1) * 0xbf58476d1ce4e5b9u;
    x ^= x >> 31;
    x *= 0x94d049bb133111ebu;
    x ^= x >> 29;
    return static_cast<double>(x >> 11) / 9007199254740992.0;
}

static int pid_of(const unsigned char *packet)
{
    return ((packet[1] & 0x1f) << 8) | packet[2];
}

static void put_file_packet(unsigned char *packet, const feed_options *options, uint64_t index,
                            uint64_t round)
{
    memcpy(packet, options->ts_file + index * TS_PACKET_BYTES, TS_PACKET_BYTES);
    unsigned step = unsigned((round * options->ts_file_steps[pid_of(packet)]) & 0x0f);
    packet[3] = static_cast<unsigned char>((packet[3] & 0xf0) | ((packet[3] + step) & 0x0f));
}

uint32_t put_ts_packets(unsigned char *out, const feed_options *options, uint64_t datagram,
                        ts_drops *dropped)
{
    dropped->count = 0;
    uint32_t length = 0;
    // A file is sent whole each time round: its last datagram may carry fewer packets.
    uint64_t file_datagrams =
        (options->ts_file_packets + TS_PACKETS_PER_DATAGRAM - 1) / TS_PACKETS_PER_DATAGRAM;
    uint64_t in_file = options->ts_file_packets != 0 ? datagram % file_datagrams : datagram;
    for (uint64_t i = 0; i < TS_PACKETS_PER_DATAGRAM; i++) {
        uint64_t index = in_file * TS_PACKETS_PER_DATAGRAM + i;
        unsigned char *packet = out + length;
        if (options->ts_file_packets == 0)
            make_packet(packet, index);
        else if (index < options->ts_file_packets)
            put_file_packet(packet, options, index, datagram / file_datagrams);
        else
            break;
        if (options->ts_drop > 0 && draw(options->seed, datagram * TS_PACKETS_PER_DATAGRAM + i) < options->ts_drop) {
            dropped->pids[dropped->count] = pid_of(packet);
            dropped->counters[dropped->count++] = packet[3] & 0x0f;
            continue;
        }
        length += TS_PACKET_BYTES;
    }
    return length;
}

void measure_ts_file(feed_options *options)
{
    static_assert(sizeof options->ts_file_steps == TS_PIDS, "a step for each PID");
    bool seen[TS_PIDS] = {};
    unsigned char first[TS_PIDS] = {}, last[TS_PIDS] = {};
    for (uint64_t i = 0; i < options->ts_file_packets; i++) {
        const unsigned char *packet = options->ts_file + i * TS_PACKET_BYTES;
        int pid = pid_of(packet);
        // Only a payload advances the counter: an adaptation field alone repeats the last.
        if ((packet[3] & 0x10) == 0)
            continue;
        if (!seen[pid])
            first[pid] = packet[3] & 0x0f;
        seen[pid] = true;
        last[pid] = packet[3] & 0x0f;
    }
    for (int pid = 0; pid < TS_PIDS; pid++)
        options->ts_file_steps[pid] =
            seen[pid] ? static_cast<unsigned char>((last[pid] + 1 - first[pid]) & 0x0f) : 0;
}

int load_ts_file(feed_options *options)
{
    FILE *file = fopen(options->ts_file_name, "rb");
    if (file == nullptr) {
        fprintf(stderr, "mcfeed: cannot open '%s'\n", options->ts_file_name);
        return -1;
    }
    size_t room = 1 << 20, length = 0;
    unsigned char *bytes = static_cast<unsigned char *>(malloc(room));
    for (size_t got; bytes != nullptr && (got = fread(bytes + length, 1, room - length, file)) > 0;) {
        length += got;
        if (length == room) {
            unsigned char *more = static_cast<unsigned char *>(realloc(bytes, room * 2));
            if (more == nullptr)
                free(bytes);
            bytes = more;
            room *= 2;
        }
    }
    fclose(file);
    if (bytes == nullptr || length < TS_PACKET_BYTES || bytes[0] != TS_SYNC_BYTE) {
        fprintf(stderr, "mcfeed: '%s' is not a transport stream of 188-byte packets\n",
                options->ts_file_name);
        free(bytes);
        return -1;
    }
    options->ts_file = bytes;
    options->ts_file_packets = length / TS_PACKET_BYTES;
    measure_ts_file(options);
    return 0;
}
