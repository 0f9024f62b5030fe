// The streams of a file checked together, before anything is joined.
#include "app/config_read.h"

#include <stdlib.h>
#include <string.h>

#include "monitor/feed.h"
#include "net/address.h"

static bool same_text(const char *a, const char *b)
{
    return a == b || (a != nullptr && b != nullptr && strcmp(a, b) == 0);
}

static bool same_layout(const seq_layout *a, const seq_layout *b)
{
    return a->given == b->given && a->short_seq == b->short_seq &&
           (!a->given || (a->seq.offset == b->seq.offset && a->seq.width_bytes == b->seq.width_bytes &&
                          a->seq.big_endian == b->seq.big_endian)) &&
           a->have_count == b->have_count && a->session == b->session;
}

// Two streams of one group, port, source and interface would receive the same datagrams; a
// feed's lines must carry their numbers alike, and there are at most FEED_LINES_MAX of them.
// Each group and source is resolved once: a file may name thousands.
int check_streams(const char *path, const stream_settings *streams, int count)
{
    endpoint *groups = static_cast<endpoint *>(calloc(size_t(count) * 2, sizeof *groups));
    if (groups == nullptr)
        return config_error(path, 1, "out of memory for %d streams", count);
    endpoint *sources = groups + count;
    for (int i = 0; i < count; i++) {
        int code = 0;
        find_group(streams[i].host, &groups[i], &code);
        if (streams[i].source_host != nullptr)
            find_host(streams[i].source_host, groups[i].storage.ss_family, &sources[i], &code);
    }
    int status = 0;
    for (int i = 0; i < count && status == 0; i++) {
        const stream_settings *s = &streams[i];
        int lines = 0;
        for (int j = 0; j < i && status == 0; j++) {
            const stream_settings *t = &streams[j];
            if (s->port == t->port && same_text(s->interface_name, t->interface_name) &&
                same_host(&groups[i], &groups[j]) &&
                (s->source_host != nullptr) == (t->source_host != nullptr) &&
                (s->source_host == nullptr || same_host(&sources[i], &sources[j])))
                status = config_error(path, s->line, "the same group, port, source and "
                                                     "interface as the stream at line %d", t->line);
            else if (same_text(s->name, t->name))
                status = config_error(path, s->line, "a second stream named \"%s\" (line %d)",
                                      s->name, t->line);
            else if (s->feed != nullptr && same_text(s->feed, t->feed) &&
                     !same_layout(&s->layout, &t->layout))
                status = config_error(path, s->line, "the lines of feed \"%s\" must carry their "
                                                     "numbers alike (line %d)", s->feed, t->line);
            else if (s->feed != nullptr && same_text(s->feed, t->feed) && ++lines >= FEED_LINES_MAX)
                status = config_error(path, s->line, "feed \"%s\" has more than %d lines", s->feed,
                                      FEED_LINES_MAX);
        }
    }
    free(groups);
    return status;
}
