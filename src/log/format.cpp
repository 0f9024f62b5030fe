#include "log/format.h"

char *put_text(char *out, const char *text)
{
    while (*text != '\0')
        *out++ = *text++;
    return out;
}

char *put_unsigned(char *out, uint64_t value)
{
    char digits[FORMAT_INTEGER_MAX];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0)
        *out++ = digits[--count];
    return out;
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
    for (char *digit = text; digit < end; digit++)
        *out++ = *digit;
    return out;
}
