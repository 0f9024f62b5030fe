#include "app/toml_depth.h"

#include <string.h>

// A scan of the text as TOML's grammar sees it where it matters here: strings and comments
// are passed over, a key's dots count its parts, a header sets the level of the keys under
// it, and an inline table or an array opened in a value takes its elements a level down. The
// levels are those of the tree toml++ makes, where an array of tables is an array and then a
// table.
namespace {

enum scan_mode { MODE_KEY, MODE_HEADER, MODE_VALUE, MODE_REST };

struct toml_scan {
    const char *text;
    size_t length;
    size_t at;
    int line;
    scan_mode mode;
    int header_depth;      // of the last [table] or [[table]]: the level of keys under it
    int depth;             // of the key, header or value in hand
    char open[CONFIG_DEPTH_MAX + 1]; // the inline tables ('{') and arrays ('[') around it
    int open_base[CONFIG_DEPTH_MAX + 1];
    int open_count;
};

static_assert(CONFIG_DEPTH_MAX >= 3, "a stream's keys sit at level 3");

} // namespace

// Passes over the string that begins at the quote in hand, counting its lines.
static void skip_string(toml_scan *scan)
{
    const char *text = scan->text;
    char quote = text[scan->at];
    bool triple = scan->at + 2 < scan->length && text[scan->at + 1] == quote &&
                  text[scan->at + 2] == quote;
    scan->at += triple ? 3 : 1;
    while (scan->at < scan->length) {
        char c = text[scan->at];
        if (c == '\\' && quote == '"') {
            scan->at += 2;
            continue;
        }
        if (c == '\n' && !triple)
            return;
        if (c == '\n')
            scan->line++;
        if (c == quote && (!triple || (scan->at + 2 < scan->length && text[scan->at + 1] == quote &&
                                       text[scan->at + 2] == quote))) {
            scan->at += triple ? 3 : 1;
            return;
        }
        scan->at++;
    }
}

// A new line ends a statement outside inline tables and arrays.
static void take_newline(toml_scan *scan)
{
    scan->line++;
    if (scan->open_count == 0) {
        scan->mode = MODE_KEY;
        scan->depth = scan->header_depth + 1;
    }
}

static void open_value(toml_scan *scan, char bracket)
{
    scan->open[scan->open_count] = bracket;
    scan->open_base[scan->open_count] = scan->depth;
    scan->open_count++;
    if (bracket == '{')
        scan->mode = MODE_KEY;
    scan->depth++;
}

// After a ',' or a closing bracket: the next element of what is open, or the rest of the line.
static void take_separator(toml_scan *scan, char c)
{
    if (scan->open_count == 0)
        return;
    if (c != ',') {
        scan->open_count--;
        scan->depth = scan->open_base[scan->open_count];
        scan->mode = MODE_REST;
        return;
    }
    int base = scan->open_base[scan->open_count - 1];
    scan->mode = scan->open[scan->open_count - 1] == '{' ? MODE_KEY : MODE_VALUE;
    scan->depth = base + 1;
}

// Takes the character in hand; returns false where the level passes CONFIG_DEPTH_MAX.
static bool take(toml_scan *scan, char c)
{
    if (c == '[' && scan->mode == MODE_KEY && scan->open_count == 0) {
        scan->mode = MODE_HEADER;
        scan->depth = 1;
    } else if (c == '[' && scan->mode == MODE_HEADER) {
        scan->depth++;     // [[array]]: its tables are a level below the array
    } else if (c == '.' && (scan->mode == MODE_KEY || scan->mode == MODE_HEADER)) {
        scan->depth++;
    } else if (c == ']' && scan->mode == MODE_HEADER) {
        scan->header_depth = scan->depth;
        scan->mode = MODE_REST;
    } else if (c == '=' && scan->mode == MODE_KEY) {
        scan->mode = MODE_VALUE;
    } else if ((c == '{' || c == '[') && scan->mode == MODE_VALUE) {
        if (scan->open_count == CONFIG_DEPTH_MAX)
            return false;
        open_value(scan, c);
    } else if ((c == ',' || c == '}' || c == ']') && scan->mode != MODE_HEADER) {
        take_separator(scan, c);
    }
    return scan->depth <= CONFIG_DEPTH_MAX;
}

int line_too_deep(const char *text, size_t length)
{
    toml_scan scan = {};
    scan.text = text;
    scan.length = length;
    scan.line = 1;
    scan.mode = MODE_KEY;
    scan.depth = 1;
    while (scan.at < length) {
        char c = text[scan.at];
        if (c == '"' || c == '\'') {
            skip_string(&scan);
            continue;
        }
        if (c == '#') {
            const char *end = static_cast<const char *>(memchr(text + scan.at, '\n', length - scan.at));
            scan.at = end == nullptr ? length : size_t(end - text);
            continue;
        }
        if (c == '\n')
            take_newline(&scan);
        else if (!take(&scan, c))
            return scan.line;
        scan.at++;
    }
    return 0;
}
