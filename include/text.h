// Numbers in text from outside: atoi's rules, saturating instead of overflowing.
#pragma once

// Reads an optionally signed decimal after white space, saturating to the int range.
// 1 = a number was read (*s moves past it), 0 = no digits (*s and *out unchanged).
int ScanInt(const char **s, int *out);
int AtoiSat(const char *s);  // atoi with saturation; no digits gives 0
