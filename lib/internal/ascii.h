/*
 * ASCII character classes, the same whatever the locale: a byte of 128 or more belongs to none
 * of them. The library uses these instead of <ctype.h>, whose answers for such bytes depend on
 * the locale (and are undefined for a negative char).
 *   blank        space and tab
 *   white space  space, tab, line feed, vertical tab, form feed, carriage return
 *   letter       A-Z, a-z
 *   digit        0-9
 * Private to the library (not installed). Can't fail.
 */
#ifndef ZARVO_INTERNAL_ASCII_H
#define ZARVO_INTERNAL_ASCII_H

inline bool ascii_isblank(unsigned char c)
{
    return c == ' ' || c == '\t';
}

inline bool ascii_isspace(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline bool ascii_isalpha(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

inline bool ascii_isdigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

inline bool ascii_isalnum(unsigned char c)
{
    return ascii_isalpha(c) || ascii_isdigit(c);
}

inline unsigned char ascii_tolower(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? (unsigned char)(c + ('a' - 'A')) : c;
}

/* Whether the two terminated texts are equal ignoring the case of letters. */
inline bool ascii_equalnocase(const char *a, const char *b)
{
    while (*a && ascii_tolower((unsigned char)*a) == ascii_tolower((unsigned char)*b)) {
        a++;
        b++;
    }
    return ascii_tolower((unsigned char)*a) == ascii_tolower((unsigned char)*b);
}

#endif
