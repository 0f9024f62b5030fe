// Datagrams split into IP fragments, put back together or given up as the kernel does.
#include "net/reassembly.h"

#include <gtest/gtest.h>

#include <vector>

#include "net/address.h"

namespace {

// A UDP datagram from port 40000 to 5000 whose payload counts up from 0.
std::vector<unsigned char> datagram(size_t payload_bytes)
{
    size_t length_bytes = payload_bytes + 8;
    std::vector<unsigned char> bytes = {0x9c, 0x40, 0x13, 0x88,
                                        static_cast<unsigned char>(length_bytes >> 8),
                                        static_cast<unsigned char>(length_bytes), 0, 0};
    for (size_t i = 0; i < payload_bytes; i++)
        bytes.push_back(static_cast<unsigned char>(i));
    return bytes;
}

struct fragment_step {
    uint32_t id;
    uint32_t start;
    uint32_t end;
    bool more;            // more fragments follow
    uint64_t at_us;
    size_t cut_bytes;     // not captured at its end
};

struct reassembly_case {
    const char *name;
    size_t payload_bytes;
    std::vector<fragment_step> steps;
    int whole;            // datagrams made whole, each checked byte by byte
    size_t captured_bytes;  // of each whole one's payload
    int lost_on_stream;   // given up with the ports of their first fragment
    int lost_unknown;     // given up without them (a fragment after one refused begins anew)
};

TEST(Reassembly, MakesDatagramsWholeOrGivesThemUpAsTheKernelDoes)
{
    const uint64_t late_us = REASSEMBLY_TIMEOUT_US + 1;
    const reassembly_case cases[] = {
        {"two in order", 2000, {{1, 0, 1480, true, 0, 0}, {1, 1480, 2008, false, 5, 0}},
         1, 2000, 0, 0},
        {"the last first", 2000, {{1, 1480, 2008, false, 0, 0}, {1, 0, 1480, true, 5, 0}},
         1, 2000, 0, 0},
        {"three, the middle last", 3000,
         {{1, 0, 1000, true, 0, 0}, {1, 2000, 3008, false, 1, 0}, {1, 1000, 2000, true, 2, 0}},
         1, 3000, 0, 0},
        {"a repeat is dropped", 2000,
         {{1, 0, 1480, true, 0, 0}, {1, 0, 1480, true, 1, 0}, {1, 1480, 2008, false, 2, 0}},
         1, 2000, 0, 0},
        {"one within two that came is dropped", 2000,
         {{1, 0, 1000, true, 0, 0}, {1, 1000, 1480, true, 1, 0}, {1, 992, 1008, true, 2, 0},
          {1, 1480, 2008, false, 3, 0}},
         1, 2000, 0, 0},
        {"two datagrams interleaved", 2000,
         {{1, 0, 1480, true, 0, 0}, {2, 0, 1480, true, 1, 0}, {2, 1480, 2008, false, 2, 0},
          {1, 1480, 2008, false, 3, 0}},
         2, 2000, 0, 0},
        {"an overlap refuses the datagram", 2000,
         {{1, 0, 1480, true, 0, 0}, {1, 1472, 2008, false, 1, 0}, {1, 1480, 2008, false, 2, 0}},
         0, 0, 1, 1},
        {"a last fragment short of one before", 2000,
         {{1, 1480, 2008, false, 0, 0}, {1, 0, 1000, true, 1, 0}, {1, 1000, 1480, false, 2, 0}},
         0, 0, 1, 0},
        {"a fragment not of whole 8-byte units", 2000, {{1, 0, 1481, true, 0, 0}}, 0, 0, 0, 1},
        {"timed out without its middle", 3000,
         {{1, 0, 1000, true, 0, 0}, {1, 2000, 3008, false, 1, 0}, {9, 0, 8, true, late_us, 0},
          {1, 1000, 2000, true, late_us, 0}},
         0, 0, 2, 1},
        {"timed out without its first", 2000,
         {{1, 1480, 2008, false, 0, 0}, {2, 0, 8, true, late_us, 0}}, 0, 0, 1, 1},
        {"left at the end", 2000, {{1, 0, 1480, true, 0, 0}}, 0, 0, 1, 0},
        {"cut short by the snap length", 2000,
         {{1, 0, 1480, true, 0, 1000}, {1, 1480, 2008, false, 1, 0}}, 1, 472, 0, 0},
    };
    static reassembly table;
    for (const reassembly_case &c : cases) {
        SCOPED_TRACE(c.name);
        reassembly_reset(&table);
        std::vector<unsigned char> bytes = datagram(c.payload_bytes);
        int whole = 0, lost_on_stream = 0, lost_unknown = 0;
        auto give_up = [&](uint64_t now_us) {
            udp_frame lost;
            while (reassembly_give_up(&table, now_us, &lost) == 1) {
                if (lost.addressed) {
                    EXPECT_EQ(endpoint_port(&lost.destination), 5000);
                }
                (lost.addressed ? lost_on_stream : lost_unknown)++;
            }
        };
        for (const fragment_step &step : c.steps) {
            udp_frame fragment = {};
            endpoint_any(&fragment.source, AF_INET, 0);
            endpoint_any(&fragment.destination, AF_INET, 0);
            fragment.kind = FRAME_FRAGMENT;
            fragment.fragment_id = step.id;
            fragment.fragment_offset_bytes = step.start;
            fragment.more_fragments = step.more;
            // Past the datagram only where a row asks for a faulty length.
            std::vector<unsigned char> data(step.end > step.start ? step.end - step.start : 0);
            for (size_t i = 0; i < data.size(); i++)
                data[i] = step.start + i < bytes.size() ? bytes[step.start + i] : 0;
            fragment.payload = data.data();
            fragment.length_bytes = static_cast<uint32_t>(data.size());
            fragment.captured_bytes = data.size() - step.cut_bytes;
            udp_frame found;
            if (reassembly_add(&table, &fragment, step.at_us, &found) == 1) {
                whole++;
                ASSERT_EQ(found.kind, FRAME_UDP);
                EXPECT_EQ(endpoint_port(&found.source), 40000);
                EXPECT_EQ(endpoint_port(&found.destination), 5000);
                EXPECT_EQ(found.length_bytes, c.payload_bytes);
                ASSERT_EQ(found.captured_bytes, c.captured_bytes);
                const unsigned char *sent = bytes.data() + 8;
                EXPECT_EQ(std::vector<unsigned char>(found.payload, found.payload + c.captured_bytes),
                          std::vector<unsigned char>(sent, sent + c.captured_bytes));
            }
            give_up(step.at_us);
        }
        give_up(UINT64_MAX);
        EXPECT_EQ(whole, c.whole);
        EXPECT_EQ(lost_on_stream, c.lost_on_stream);
        EXPECT_EQ(lost_unknown, c.lost_unknown);
    }
}

TEST(Reassembly, DropsTheFragmentsOfADatagramPastTheTable)
{
    static reassembly table;
    reassembly_reset(&table);
    std::vector<unsigned char> bytes = datagram(2000);
    udp_frame fragment = {}, found;
    endpoint_any(&fragment.source, AF_INET, 0);
    endpoint_any(&fragment.destination, AF_INET, 0);
    fragment.kind = FRAME_FRAGMENT;
    fragment.more_fragments = true;
    fragment.payload = bytes.data();
    fragment.length_bytes = 1480;
    fragment.captured_bytes = 1480;
    for (uint32_t id = 0; id <= REASSEMBLY_DATAGRAMS_MAX; id++) {
        fragment.fragment_id = id;
        EXPECT_EQ(reassembly_add(&table, &fragment, 0, &found), 0);
    }
    // The last one's end finds no datagram begun: dropped, as its first was.
    fragment.fragment_offset_bytes = 1480;
    fragment.more_fragments = false;
    fragment.payload = bytes.data() + 1480;
    fragment.length_bytes = fragment.captured_bytes = 528;
    EXPECT_EQ(reassembly_add(&table, &fragment, 1, &found), 0);
    fragment.fragment_id = 0;
    EXPECT_EQ(reassembly_add(&table, &fragment, 1, &found), 1);
}

} // namespace
