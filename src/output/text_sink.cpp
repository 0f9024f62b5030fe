#include "output/sink.h"

#include <errno.h>
#include <stdio.h>

#include "base/format.h"
#include "base/log.h"
#include "net/address.h"

static void text_bound(sink *, const endpoint *address)
{
    char host[HOST_TEXT_MAX];
    format_host(host, address);
    log_line(stdout, "info", "Socket is bound to %s:%hu", host, endpoint_port(address));
}

static void text_gap(sink *, const gap_event *event)
{
    const gap_report *gap = &event->gap;
    char line[LOG_PREFIX_MAX + 64];
    char *end = log_begin(line, "info");
    if (gap->kind == GAP_MISSED_ONE) {
        end = put_literal(end, "Missed packet: ");
        end = put_signed(end, gap->first);
    } else if (gap->kind == GAP_MISSED_RUN) {
        end = put_literal(end, "Missed packets: ");
        end = put_signed(end, gap->first);
        end = put_literal(end, " - ");
        end = put_signed(end, gap->last);
    } else {
        end = put_literal(end, "Extra packet: ");
        end = put_signed(end, gap->first);
    }
    log_end(stdout, line, end);
}

static void text_datagram(sink *self, const datagram_event *event)
{
    text_sink *text = reinterpret_cast<text_sink *>(self);
    char line[LOG_PREFIX_MAX + 2 * DATAGRAM_PART_MAX + 2 * FORMAT_INTEGER_MAX + 16];
    char *end = log_begin(line, "info");
    end = format_datagram_from(end, &text->parts, event->sender, event->group,
                               event->length_bytes, event->seq);
    log_end(stdout, line, end);
}

static void text_stats(sink *, const stats_report *report)
{
    char line[LOG_PREFIX_MAX + 64];
    char *end = log_begin(line, "info");
    end = put_literal(end, "Stats: packets - ");
    end = put_unsigned(end, report->packets);
    end = put_literal(end, "; gaps - ");
    end = put_unsigned(end, report->gaps);
    log_end(stdout, line, end);
}

static int text_flush(sink *)
{
    errno = 0;
    if (fflush(stdout) == 0 && !ferror(stdout))
        return 0;
    // An error that an earlier write left on the stream has no errno of its own any more.
    int code = errno != 0 ? errno : EIO;
    clearerr(stdout);
    return code;
}

void text_sink_start(text_sink *text)
{
    text->calls = {text_bound, text_gap, text_datagram, text_stats, text_flush};
    datagram_parts_start(&text->parts);
}
