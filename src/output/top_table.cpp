#include "output/top_table.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

// The columns after the name, their widths, right-aligned but the source: the view's own
// before and after the counter table's.
struct column {
    const char *header;
    int width;
};

static const column before_counters[] = {{"SOURCE", 21}, {"RATE/s", 8}, {"MBIT/s", 7}};
static const column after_counters[] = {{"DROPS", 6}, {"LAST SEQ", 11}, {"SILENT", 7}};
#define COLUMNS_MAX (3 + COUNTER_ROWS + TS_COUNTER_ROWS + 3)
static_assert(sizeof before_counters / sizeof before_counters[0] == 3 &&
                  sizeof after_counters / sizeof after_counters[0] == 3,
              "COLUMNS_MAX counts the view's own columns");
#define NAME_MIN 12

// Every column in order, count of them; with ts, the transport stream's after the senders'.
static int all_columns(column *out, bool ts)
{
    int count = 0;
    for (const column &c : before_counters)
        out[count++] = c;
    const counter_order *order = counter_order_of(COUNTERS_VIEW);
    for (int i = 0; i < order->count; i++) {
        const counter_row *row = &counter_rows[order->rows[i]];
        out[count++] = {row->view.name, row->view_width};
    }
    for (int i = 0; i < TS_COUNTER_ROWS && ts; i++)
        if (ts_counter_rows[i].view != nullptr)
            out[count++] = {ts_counter_rows[i].view, ts_counter_rows[i].view_width};
    for (const column &c : after_counters)
        out[count++] = c;
    return count;
}

const char *top_sort_name(int sort)
{
    static const char *const names[] = {"worst first", "name", "rate"};
    return sort >= 0 && sort < TOP_SORTS ? names[sort] : "?";
}

// The name's column: what the screen leaves after the others, never under NAME_MIN.
static int name_width(int width, bool ts)
{
    column columns[COLUMNS_MAX];
    int count = all_columns(columns, ts);
    int rest = 2;  // the mark and a space
    for (int i = 0; i < count; i++)
        rest += columns[i].width + 1;
    return std::max(NAME_MIN, width - rest);
}

// Appends text to the line, cut or padded to width (right-aligned where asked), then a space.
static size_t put_cell(char *out, size_t at, size_t size, const char *text, int width, bool right)
{
    int length = static_cast<int>(strlen(text));
    if (length > width)
        length = width;
    int pad = width - length;
    for (int i = 0; i < width + 1 && at + 1 < size; i++) {
        char c = ' ';
        if (i < width)
            c = right ? (i >= pad ? text[i - pad] : ' ') : (i < length ? text[i] : ' ');
        out[at++] = c;
    }
    out[at] = '\0';
    return at;
}

// A count too wide for its column, in thousands, millions and so on (12345678 in 6: 12346k),
// rather than cut to digits that mislead.
static void fit_count(char *text, size_t size, uint64_t value, int width)
{
    static const char suffixes[] = "kMGTPE";
    for (int k = 0; static_cast<int>(strlen(text)) > width && k < 6; k++) {
        value = value / 1000 + (value % 1000 >= 500);
        snprintf(text, size, "%llu%c", static_cast<unsigned long long>(value), suffixes[k]);
    }
}

// Cuts the line at width, without its trailing spaces.
static void fit(char *out, int width)
{
    size_t length = strlen(out);
    if (width >= 0 && length > static_cast<size_t>(width))
        length = static_cast<size_t>(width);
    while (length > 0 && out[length - 1] == ' ')
        length--;
    out[length] = '\0';
}

void top_header(char *out, size_t out_size, int width, bool ts)
{
    if (out_size == 0)
        return;
    out[0] = '\0';
    size_t at = put_cell(out, 0, out_size, "", 1, false);
    at = put_cell(out, at, out_size, "STREAM", name_width(width, ts), false);
    column columns[COLUMNS_MAX];
    int count = all_columns(columns, ts);
    for (int i = 0; i < count; i++)
        at = put_cell(out, at, out_size, columns[i].header, columns[i].width, i != 0);
    fit(out, width);
}

// Seconds of silence as 0.4s, 12s, 5m03s or 2h07m.
static void put_silent(char *out, size_t size, uint64_t silent_us)
{
    uint64_t seconds = silent_us / 1000000;
    if (seconds < 10)
        snprintf(out, size, "%llu.%llus", static_cast<unsigned long long>(seconds),
                 static_cast<unsigned long long>(silent_us / 100000 % 10));
    else if (seconds < 60)
        snprintf(out, size, "%llus", static_cast<unsigned long long>(seconds));
    else if (seconds < 3600)
        snprintf(out, size, "%llum%02llus", static_cast<unsigned long long>(seconds / 60),
                 static_cast<unsigned long long>(seconds % 60));
    else
        snprintf(out, size, "%lluh%02llum", static_cast<unsigned long long>(seconds / 3600),
                 static_cast<unsigned long long>(seconds / 60 % 60));
}

// A count in its column, or "-" where the row has none.
static void put_count(char *cell, size_t size, bool shown, uint64_t value, int width)
{
    if (!shown) {
        snprintf(cell, size, "-");
        return;
    }
    snprintf(cell, size, "%llu", static_cast<unsigned long long>(value));
    fit_count(cell, size, value, width);
}

void top_line(char *out, size_t out_size, const top_row *row, int width, bool ts)
{
    if (out_size == 0)
        return;
    column columns[COLUMNS_MAX];
    int count = all_columns(columns, ts);
    char cells[COLUMNS_MAX][TOP_SOURCE_MAX];
    int at_cell = 0;
    snprintf(cells[at_cell++], sizeof cells[0], "%s", row->source);
    if (row->have_rate) {
        snprintf(cells[at_cell++], sizeof cells[0], "%.0f", row->rate_per_s);
        if (row->feed)
            snprintf(cells[at_cell++], sizeof cells[0], "-");
        else
            snprintf(cells[at_cell++], sizeof cells[0], "%.2f", row->mbit_per_s);
    } else {
        snprintf(cells[at_cell++], sizeof cells[0], "-");
        snprintf(cells[at_cell++], sizeof cells[0], "-");
    }
    const counter_order *order = counter_order_of(COUNTERS_VIEW);
    for (int i = 0; i < order->count; i++, at_cell++) {
        const counter_row *counter = &counter_rows[order->rows[i]];
        put_count(cells[at_cell], sizeof cells[0], counter_shown_in_view(counter, row->feed),
                  counter->value(&row->figures), columns[at_cell].width);
    }
    for (int i = 0; i < TS_COUNTER_ROWS && ts; i++)
        if (ts_counter_rows[i].view != nullptr) {
            put_count(cells[at_cell], sizeof cells[0], row->ts != nullptr,
                      row->ts != nullptr ? ts_counter_rows[i].value(row->ts) : 0,
                      columns[at_cell].width);
            at_cell++;
        }
    put_count(cells[at_cell], sizeof cells[0], row->have_drops, row->drops,
              columns[at_cell].width);
    at_cell++;
    if (!row->have_seq) {
        snprintf(cells[at_cell], sizeof cells[0], "-");
    } else if (row->seq_unsigned || row->last_seq >= 0) {
        put_count(cells[at_cell], sizeof cells[0], true, static_cast<uint64_t>(row->last_seq),
                  columns[at_cell].width);
    } else {
        snprintf(cells[at_cell], sizeof cells[0], "%lld", static_cast<long long>(row->last_seq));
    }
    at_cell++;
    if (row->have_silent)
        put_silent(cells[at_cell], sizeof cells[0], row->silent_us);
    else
        snprintf(cells[at_cell], sizeof cells[0], "-");
    out[0] = '\0';
    size_t at = put_cell(out, 0, out_size, row->alarm ? "!" : "", 1, false);
    at = put_cell(out, at, out_size, row->name, name_width(width, ts), false);
    for (int i = 0; i < count; i++)
        at = put_cell(out, at, out_size, cells[i], columns[i].width, i != 0);
    fit(out, width);
}

// Whether row a is worse than row b: it stands out, then more lost, more dropped, longer
// silent; at last the name decides, so that the order does not flicker between redraws.
static bool worse(const top_row *a, const top_row *b)
{
    if (a->alarm != b->alarm)
        return a->alarm;
    if (a->figures.counts.lost != b->figures.counts.lost)
        return a->figures.counts.lost > b->figures.counts.lost;
    if (a->drops != b->drops)
        return a->drops > b->drops;
    uint64_t a_silent = a->have_silent ? a->silent_us : 0;
    uint64_t b_silent = b->have_silent ? b->silent_us : 0;
    if (a_silent / 1000000 != b_silent / 1000000)
        return a_silent > b_silent;
    return strcmp(a->name, b->name) < 0;
}

static bool before(const top_row *a, const top_row *b, int sort)
{
    if (sort == TOP_SORT_NAME) {
        int order = strcmp(a->name, b->name);
        return order != 0 ? order < 0 : strcmp(a->source, b->source) < 0;
    }
    if (sort == TOP_SORT_RATE) {
        double a_rate = a->have_rate ? a->rate_per_s : 0;
        double b_rate = b->have_rate ? b->rate_per_s : 0;
        if (a_rate != b_rate)
            return a_rate > b_rate;
        return strcmp(a->name, b->name) < 0;
    }
    return worse(a, b);
}

// The unit's row that sorts first.
static int best_of_unit(const top_row *rows, int count, int first, int sort)
{
    int best = first;
    for (int i = first + 1; i < count && rows[i].unit == rows[first].unit; i++)
        if (before(&rows[i], &rows[best], sort))
            best = i;
    return best;
}

void top_order(const top_row *rows, int count, int sort, int *order, int *scratch)
{
    int unit_count = 0;
    for (int i = 0; i < count; i++)
        if (i == 0 || rows[i].unit != rows[i - 1].unit)
            scratch[unit_count++] = i;
    std::stable_sort(scratch, scratch + unit_count, [&](int a, int b) {
        return before(&rows[best_of_unit(rows, count, a, sort)],
                      &rows[best_of_unit(rows, count, b, sort)], sort);
    });
    int placed = 0;
    for (int k = 0; k < unit_count; k++)
        for (int i = scratch[k]; i < count && rows[i].unit == rows[scratch[k]].unit; i++)
            order[placed++] = i;
}

int top_rows_shown(int count, int height)
{
    int room = height - 2;  // the title and the headers
    if (room <= 0)
        return 0;
    if (count <= room)
        return count;
    return room - 1;        // the last line names what does not fit
}

void top_more(char *out, size_t out_size, int hidden)
{
    snprintf(out, out_size, "... %d more stream%s", hidden, hidden == 1 ? "" : "s");
}
