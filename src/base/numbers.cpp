#include "base/numbers.h"

#include <ctype.h>
#include <string.h>

// Skips blanks and a sign, then reads decimal digits while their value stays within limit
// (any limit, UINT64_MAX too: no text can overflow). Returns the number of digits read;
// *fits tells whether all of them were within limit, *negative whether a minus came first.
static size_t read_digits(const char *text, uint64_t limit, uint64_t *value, bool *fits,
                          bool *negative)
{
    while (isspace(static_cast<unsigned char>(*text)))
        text++;
    *negative = *text == '-';
    if (*text == '-' || *text == '+')
        text++;
    size_t digits = 0;
    *value = 0;
    *fits = true;
    for (; isdigit(static_cast<unsigned char>(*text)); text++, digits++) {
        uint64_t digit = static_cast<uint64_t>(*text - '0');
        if (*value > limit / 10 || (*value == limit / 10 && digit > limit % 10))
            *fits = false;
        if (*fits)
            *value = *value * 10 + digit;
    }
    return digits;
}

bool read_whole_number(const char *text, uint64_t limit, uint64_t *value)
{
    uint64_t read;
    bool fits, negative;
    size_t digits = read_digits(text, limit, &read, &fits, &negative);
    if (digits == 0 || digits != strlen(text) || !fits)
        return false;
    *value = read;
    return true;
}

bool read_leading_number(const char *text, uint64_t limit, uint64_t *value)
{
    uint64_t read;
    bool fits, negative;
    if (read_digits(text, limit, &read, &fits, &negative) == 0 || negative || !fits)
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
    bool fits, negative;
    size_t digits = read_digits(text, most_bytes, &value, &fits, &negative);
    const char *suffix = text + digits;
    uint64_t unit = 1;
    if (*suffix == 'k' || *suffix == 'K')
        unit = 1024;
    else if (*suffix == 'm' || *suffix == 'M')
        unit = 1024 * 1024;
    size_t length = digits + (unit == 1 ? 0 : 1);
    if (digits == 0 || negative || length != strlen(text) || value == 0 || !fits ||
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

interface_form read_interface(const char *text, uint32_t *index)
{
    uint64_t value = 0;
    if (text[0] != '\0' && strspn(text, "0123456789") == strlen(text)) {
        if (!read_whole_number(text, UINT32_MAX, &value) || value == 0)
            return INTERFACE_INVALID;
        *index = static_cast<uint32_t>(value);
        return INTERFACE_INDEX;
    }
    return strspn(text, "0123456789.") == strlen(text) ? INTERFACE_ADDRESS : INTERFACE_NAME;
}
