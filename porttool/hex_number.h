// The number words of portpoke: hexadecimal, as the tool has always read
// them with sscanf("%X") into an unsigned int on the lab PC (32-bit x86 and
// its GNU C library).  There the conversion is strtoul() on a 32-bit
// unsigned long, then stored in the unsigned int:
//   - leading white space (blank, tab, line feed, vertical tab, form feed,
//     carriage return) is skipped, then one optional + or -;
//   - a 0 followed by x or X is a prefix, and digits must follow it: "0x"
//     with no hex digit after it (0x, -0X, 0xg, 0x-5) is no number.  The
//     lab PC's sscanf reads such a word as 0, taking the 0 for a digit;
//     the tool refuses it, as the number it was asked for is not there (a
//     mistyped "w 0x 5" must not write port 0);
//   - hex digits in either case up to the first other character; the rest of
//     the word is ignored;
//   - a number beyond 32 bits saturates at 0xFFFFFFFF, with or without a
//     minus sign (strtoul gives ULONG_MAX on overflow and negates only a
//     value that fits);
//   - a minus sign before a number that fits negates it modulo 2^32
//     (-1 is 0xFFFFFFFF, -FFFFFFFF is 1);
//   - no digit at all (an empty or blank word, a lone sign, x5) is no number.
// On a 64-bit C library the same sscanf converts with a 64-bit unsigned long
// and the store wraps (123456789 becomes 0x23456789), and other C libraries
// wrap as well; hence this conversion of our own, the same on every build,
// and the same as the lab PC's but for a prefix without digits.
#ifndef PORTTOOL_HEX_NUMBER_H
#define PORTTOOL_HEX_NUMBER_H

#define HEX_NUMBER_MAX 0xFFFFFFFFu

static inline int hex_digit_value(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Stores the number of word in *number and returns 1; returns 0 and leaves
// *number alone when the word holds no number.
static inline int hex_number_from_word(const char *word, unsigned int *number)
{
    const unsigned char *p = (const unsigned char *)word;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    int negative = 0;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        p++;
    }

    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
        p += 2;  // a prefix: the digits after it are the number
    int digits = 0;

    // 32 bits of magnitude; once it would pass 0xFFFFFFFF it stays saturated.
    unsigned int magnitude = 0;
    int overflow = 0;
    for (int d; (d = hex_digit_value(*p)) >= 0; p++) {
        digits++;
        if (magnitude > (HEX_NUMBER_MAX >> 4))
            overflow = 1;
        else
            magnitude = (magnitude << 4) | (unsigned int)d;
    }
    if (digits == 0)
        return 0;

    if (overflow)
        *number = HEX_NUMBER_MAX;
    else
        *number = negative ? 0u - magnitude : magnitude;
    return 1;
}

#endif
