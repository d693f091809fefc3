// Number conversion for text from outside: atoi's rules, but saturating instead of overflowing.
#include <cctype>
#include <climits>

#include "text.h"

int ScanInt(const char **s, int *out)
{
    const char *p = *s;
    while (isspace((unsigned char)*p))
        p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    if (!isdigit((unsigned char)*p))
        return 0;
    long long v = 0;
    for (; isdigit((unsigned char)*p); p++)
        if (v <= INT_MAX)  // stop growing once past the range; the sign decides the bound
            v = v * 10 + (*p - '0');
    if (negative)
        v = -v;
    *out = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : (int)v;
    *s = p;
    return 1;
}

int AtoiSat(const char *s)
{
    int v = 0;
    return ScanInt(&s, &v) ? v : 0;
}
