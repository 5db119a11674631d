// portpoke's number conversion against the reference it must match:
// sscanf("%X") into an unsigned int of a 32-bit x86 GNU C library, the lab
// PC's.  Built -m32 against glibc and run as an i386 program; every word of
// a large deterministic set (white space, signs, prefixes, digit strings of
// every length around 32 bits, trailing text) must give the same verdict
// (number or not) and the same value, but for a 0x prefix without digits
// after it, which the C library reads as 0 and the tool refuses.
//
// Exit status 0 when all agree, 1 on any difference (each one printed).
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "hex_number.h"

#ifndef __GLIBC__
#error "the reference is the GNU C library's sscanf"
#endif

static_assert(sizeof(unsigned long) == 4, "the reference is a 32-bit C library");

namespace {

unsigned long long lcg_state = 0x2545F4914F6CDD1DULL;

unsigned next_random(unsigned bound)
{
    lcg_state = lcg_state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<unsigned>((lcg_state >> 33) % bound);
}

std::string hex_text(unsigned long long v, bool lower)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, lower ? "%llx" : "%llX", v);
    return buf;
}

std::string shown(const std::string &w)
{
    std::string s;
    for (unsigned char c : w) {
        if (c >= 0x20 && c < 0x7F) {
            s += static_cast<char>(c);
        } else {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02X", c);
            s += b;
        }
    }
    return "[" + s + "]";
}

std::vector<std::string> words()
{
    std::vector<std::string> w = {
        "", " ", "\t", "-", "+", "+-5", "-+5", "x5", "0x", "0X", "0xg", "-0x", "0x-5", "00x5", "0x0x5", "-0",
        "378", "0x378", "0X378", " 378", "378zz", "3f8", "003f8", "12345", "-1", "FFFFFFFF", "ffffffff",
        "100000000", "100000378", "123456789", "-123456789A", "-100000000", "-FFFFFFFF", "-FFFFFFFF0",
        "0x100000000", "-80000000", "7FFFFFFF", "80000000", "0000000000000000378", "00000000FFFFFFFF",
        "000000100000000", "FFFFFFFFFFFFFFFF", "10000000000000000", "1FFFFFFFFFFFFFFFF",
        "99999999999999999999999999999999", "\v\f\r\n 12", "\x80" "12", "12\x80", "\xff",
    };

    // Powers of two and their neighbours, from 1 bit to 72 bits, in both
    // cases, plain, with a prefix, with a minus sign and with leading zeros.
    for (int bits = 0; bits <= 72; ++bits) {
        for (int delta = -1; delta <= 1; ++delta) {
            std::string digits;
            if (bits < 64) {
                unsigned long long v = (1ULL << bits) + static_cast<unsigned long long>(delta);
                if (bits == 0 && delta < 0)
                    v = 0;
                digits = hex_text(v, bits % 2 != 0);
            } else {
                // Beyond 64 bits: 2^bits as text, and all ones below it.
                int shift = bits - 64;
                if (delta < 0)
                    digits = std::string(static_cast<size_t>((bits + 3) / 4), 'F');
                else
                    digits = hex_text(1ULL << (shift % 4), false) + std::string(16 + shift / 4, '0') +
                             (delta > 0 ? "1" : "");
            }
            for (const char *pre : {"", "-", "0x", "-0X", " +", "000"})
                w.push_back(pre + digits);
        }
    }

    // Random words built from the pieces the conversion cares about.
    const char *const leads[] = {"", "", " ", "\t", "  \n"};
    const char *const signs[] = {"", "", "+", "-"};
    const char *const prefixes[] = {"", "", "0x", "0X", "0", "00", "x"};
    const char *const tails[] = {"", "", "z", " 1", "-2", "x", "g", ",", "\x80"};
    const char digit_chars[] = "0123456789abcdefABCDEF0F";
    for (int k = 0; k < 60000; ++k) {
        std::string word = leads[next_random(5)];
        word += signs[next_random(4)];
        word += prefixes[next_random(7)];
        unsigned length = next_random(4) == 0 ? next_random(30) : 6 + next_random(6);
        for (unsigned i = 0; i < length; ++i)
            word += digit_chars[next_random(sizeof digit_chars - 1)];
        word += tails[next_random(9)];
        w.push_back(word);
    }
    return w;
}

// After white space and a sign, 0x or 0X with no hex digit next.
bool prefix_without_digits(const std::string &word)
{
    size_t i = 0;
    while (i < word.size() && (word[i] == ' ' || (word[i] >= '\t' && word[i] <= '\r')))
        ++i;
    if (i < word.size() && (word[i] == '+' || word[i] == '-'))
        ++i;
    if (i + 1 >= word.size() || word[i] != '0' || (word[i + 1] != 'x' && word[i + 1] != 'X'))
        return false;
    return i + 2 >= word.size() || !std::isxdigit(static_cast<unsigned char>(word[i + 2]));
}

} // namespace

int main()
{
    std::vector<std::string> all = words();
    unsigned differences = 0;
    unsigned numbers = 0;
    unsigned saturated = 0;
    unsigned prefixes_refused = 0;
    for (const std::string &word : all) {
        unsigned int ref = 0xA5A5A5A5u;
        int ref_ok = std::sscanf(word.c_str(), "%X", &ref) == 1;
        unsigned int ours = 0xA5A5A5A5u;
        int ours_ok = hex_number_from_word(word.c_str(), &ours);
        // The one difference, on purpose: the C library reads a 0x prefix
        // without digits after it as 0; the tool refuses it.
        if (prefix_without_digits(word)) {
            if (!ref_ok || ref != 0 || ours_ok) {
                if (++differences <= 40)
                    std::printf("prefix without digits: %s sscanf %s %08X, ours %s\n", shown(word).c_str(),
                                ref_ok ? "number" : "none", ref, ours_ok ? "number" : "none");
            }
            ++prefixes_refused;
            continue;
        }
        if (ref_ok != ours_ok || (ref_ok && ref != ours)) {
            if (++differences <= 40)
                std::printf("differs: %s sscanf %s %08X, ours %s %08X\n", shown(word).c_str(),
                            ref_ok ? "number" : "none", ref, ours_ok ? "number" : "none", ours);
        }
        numbers += ref_ok;
        saturated += ref_ok && ref == 0xFFFFFFFFu;
    }
    std::printf("%zu words (%u numbers, %u of them 0xFFFFFFFF; %u with a prefix and no digits, refused): %u "
                "differences\n",
                all.size(), numbers, saturated, prefixes_refused, differences);
    return differences == 0 ? 0 : 1;
}
