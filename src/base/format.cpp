#include "base/format.h"

#include <string.h>

char *put_text(char *out, const char *text)
{
    size_t length = strlen(text);
    memcpy(out, text, length);
    return out + length;
}

// "00" to "99": two digits for each division, which halves the divisions of a long number.
static const char digit_pairs[] = "00010203040506070809101112131415161718192021222324252627282930"
                                  "31323334353637383940414243444546474849505152535455565758596061"
                                  "62636465666768697071727374757677787980818283848586878889909192"
                                  "93949596979899";

char *put_unsigned(char *out, uint64_t value)
{
    char digits[FORMAT_INTEGER_MAX];
    char *start = digits + sizeof digits;
    while (value >= 100) {
        start -= 2;
        memcpy(start, digit_pairs + 2 * (value % 100), 2);
        value /= 100;
    }
    if (value >= 10) {
        start -= 2;
        memcpy(start, digit_pairs + 2 * value, 2);
    } else {
        *--start = static_cast<char>('0' + value);
    }
    size_t length = static_cast<size_t>(digits + sizeof digits - start);
    memcpy(out, start, length);
    return out + length;
}

char *put_signed(char *out, int64_t value)
{
    if (value >= 0)
        return put_unsigned(out, static_cast<uint64_t>(value));
    *out++ = '-';
    // Negated in unsigned arithmetic so that the most negative value has a magnitude too.
    return put_unsigned(out, 0u - static_cast<uint64_t>(value));
}

char *put_padded(char *out, unsigned value, int digits)
{
    char text[FORMAT_INTEGER_MAX];
    char *end = put_unsigned(text, value);
    for (int pad = digits - static_cast<int>(end - text); pad > 0; pad--)
        *out++ = '0';
    size_t length = static_cast<size_t>(end - text);
    memcpy(out, text, length);
    return out + length;
}

// Days since 1970-01-01 to year, month and day (an era of 400 years has 146097 days; years
// are counted from March, so that the leap day comes last).
static void civil_from_days(int64_t days, int64_t *year, unsigned *month, unsigned *day)
{
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    unsigned day_of_era = static_cast<unsigned>(days - era * 146097);
    unsigned year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    unsigned shifted_month = (5 * day_of_year + 2) / 153;
    *day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    *month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    *year = static_cast<int64_t>(year_of_era) + era * 400 + (*month <= 2);
}

char *put_utc(char *out, uint64_t utc_us)
{
    uint64_t seconds = utc_us / 1000000;
    int64_t year;
    unsigned month, day;
    civil_from_days(static_cast<int64_t>(seconds / 86400), &year, &month, &day);
    unsigned second_of_day = static_cast<unsigned>(seconds % 86400);
    out = put_padded(out, static_cast<unsigned>(year), 4);
    *out++ = '-';
    out = put_padded(out, month, 2);
    *out++ = '-';
    out = put_padded(out, day, 2);
    *out++ = 'T';
    out = put_padded(out, second_of_day / 3600, 2);
    *out++ = ':';
    out = put_padded(out, second_of_day / 60 % 60, 2);
    *out++ = ':';
    out = put_padded(out, second_of_day % 60, 2);
    *out++ = '.';
    out = put_padded(out, static_cast<unsigned>(utc_us % 1000000), 6);
    *out++ = 'Z';
    return out;
}

// The length of the well-formed UTF-8 sequence that starts at text (2 to 4 bytes), or 0: no
// overlong form, no surrogate, nothing past U+10FFFF (RFC 3629).
static int utf8_sequence_length(const unsigned char *text)
{
    unsigned char lead = text[0];
    int length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
    unsigned char low = 0x80, high = 0xbf;
    if (lead < 0xc2 || lead > 0xf4)
        return 0;
    if (lead == 0xe0)
        low = 0xa0;
    else if (lead == 0xed)
        high = 0x9f;
    else if (lead == 0xf0)
        low = 0x90;
    else if (lead == 0xf4)
        high = 0x8f;
    if (text[1] < low || text[1] > high)
        return 0;
    for (int i = 2; i < length; i++)
        if (text[i] < 0x80 || text[i] > 0xbf)
            return 0;
    return length;
}

char *put_json_string(char *out, const char *text)
{
    static const char hex[] = "0123456789abcdef";
    *out++ = '"';
    for (const unsigned char *at = reinterpret_cast<const unsigned char *>(text); *at; at++) {
        if (*at == '"' || *at == '\\') {
            *out++ = '\\';
            *out++ = static_cast<char>(*at);
        } else if (*at < 0x20 || *at == 0x7f) {
            out = put_literal(out, "\\u00");
            *out++ = hex[*at >> 4];
            *out++ = hex[*at & 0xf];
        } else if (*at < 0x80) {
            *out++ = static_cast<char>(*at);
        } else if (int length = utf8_sequence_length(at); length > 0) {
            out = put_bytes(out, reinterpret_cast<const char *>(at), static_cast<size_t>(length));
            at += length - 1;
        } else {
            out = put_literal(out, "\\ufffd");
        }
    }
    *out++ = '"';
    return out;
}

char *put_printable(char *out, const unsigned char *bytes, size_t length)
{
    while (length > 0 && bytes[length - 1] == ' ')
        length--;
    for (size_t i = 0; i < length; i++)
        *out++ = bytes[i] >= 0x20 && bytes[i] < 0x7f ? static_cast<char>(bytes[i]) : '.';
    *out = '\0';
    return out;
}

char *put_milliseconds(char *out, uint64_t value_us)
{
    out = put_unsigned(out, value_us / 1000);
    *out++ = '.';
    return put_padded(out, static_cast<unsigned>(value_us % 1000), 3);
}
