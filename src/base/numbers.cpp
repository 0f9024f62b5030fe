#include "base/numbers.h"

#include <ctype.h>
#include <string.h>

// Skips blanks and a sign, then reads decimal digits, saturating at limit + 1 (and staying
// there: the next digit would pass 64 bits). Returns the number of digits read; *negative
// tells whether a minus sign came first.
static size_t read_digits(const char *text, uint64_t limit, uint64_t *value, bool *negative)
{
    while (isspace(static_cast<unsigned char>(*text)))
        text++;
    *negative = *text == '-';
    if (*text == '-' || *text == '+')
        text++;
    size_t digits = 0;
    *value = 0;
    for (; isdigit(static_cast<unsigned char>(*text)); text++, digits++) {
        if (*value > limit)
            continue;
        *value = *value * 10 + static_cast<uint64_t>(*text - '0');
        if (*value > limit)
            *value = limit + 1;
    }
    return digits;
}

bool read_whole_number(const char *text, uint64_t limit, uint64_t *value)
{
    uint64_t read;
    bool negative;
    size_t digits = read_digits(text, limit, &read, &negative);
    if (digits == 0 || digits != strlen(text) || read > limit)
        return false;
    *value = read;
    return true;
}

bool read_leading_number(const char *text, uint64_t limit, uint64_t *value)
{
    uint64_t read;
    bool negative;
    if (read_digits(text, limit, &read, &negative) == 0 || negative || read > limit)
        return false;
    *value = read;
    return true;
}

bool read_port(const char *text, uint16_t *port)
{
    uint64_t value;
    if (!read_whole_number(text, 65535, &value) || value == 0)
        return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

bool read_size(const char *text, uint64_t most_bytes, uint64_t *size_bytes)
{
    uint64_t value;
    bool negative;
    size_t digits = read_digits(text, most_bytes, &value, &negative);
    const char *suffix = text + digits;
    uint64_t unit = 1;
    if (*suffix == 'k' || *suffix == 'K')
        unit = 1024;
    else if (*suffix == 'm' || *suffix == 'M')
        unit = 1024 * 1024;
    size_t length = digits + (unit == 1 ? 0 : 1);
    if (digits == 0 || negative || length != strlen(text) || value == 0 || value > most_bytes ||
        value * unit > most_bytes)
        return false;
    *size_bytes = value * unit;
    return true;
}

bool read_seconds(const char *text, uint64_t most_s, uint64_t *duration_us)
{
    uint64_t whole = 0, fraction_us = 0;
    const char *at = text;
    int digits = 0;
    for (; *at >= '0' && *at <= '9' && digits < 9; at++, digits++)
        whole = whole * 10 + static_cast<uint64_t>(*at - '0');
    if (*at == '.') {
        uint64_t scale = 100000;
        for (at++; *at >= '0' && *at <= '9' && scale > 0; at++, scale /= 10, digits++)
            fraction_us += static_cast<uint64_t>(*at - '0') * scale;
    }
    uint64_t total_us = whole * 1000000 + fraction_us;
    if (digits == 0 || *at != '\0' || total_us == 0 || whole > most_s)
        return false;
    *duration_us = total_us;
    return true;
}

bool read_period(const char *text, uint32_t *period_us)
{
    uint64_t period_ms;
    if (!read_leading_number(text, PERIOD_MS_MAX, &period_ms))
        return false;
    *period_us = static_cast<uint32_t>(period_ms * 1000);
    return true;
}
