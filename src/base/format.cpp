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
