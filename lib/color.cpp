// Status colors: names, parsing, image file names and color sets.

#include "color.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "environ.h"
#include "memory.h"

namespace {

const char *const colornames[] = {"green", "clear", "blue", "purple", "yellow", "red"};
const int NCOLORS = 6;

struct colorword {
    const char *pattern; // the word and a blank, so that a longer word does not match
    int color;
};

// The order in which parse_color tries the words.
const colorword colorwords[] = {
    {"green ", COL_GREEN}, {"yellow ", COL_YELLOW}, {"red ", COL_RED},       {"blue ", COL_BLUE},
    {"clear ", COL_CLEAR}, {"purple ", COL_PURPLE}, {"client ", COL_CLIENT},
};

const int GIFNAME_SIZE = 1024;
char *gifname = nullptr;

bool is_letter(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool equal_nocase_n(const char *a, const char *b, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        unsigned char ca = (unsigned char)a[i], cb = (unsigned char)b[i];
        if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
        if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
        if (ca != cb) return false;
        if (ca == '\0') return true;
    }
    return true;
}

} // namespace

extern "C" {

int use_recentgifs = 0;

const char *colorname(int color)
{
    return (color >= 0 && color < NCOLORS) ? colornames[color] : "unknown";
}

int parse_color(const char *text)
{
    if (text == nullptr) return -1;

    // At most 7 letters (the longest word) and the blank behind them.
    char word[10];
    int n = 0;
    while (n < 7 && is_letter((unsigned char)text[n])) {
        word[n] = text[n];
        n++;
    }
    word[n++] = ' ';
    word[n] = '\0';

    for (const colorword &cw : colorwords) {
        if (equal_nocase_n(word, cw.pattern, strlen(cw.pattern))) return cw.color;
    }
    return -1;
}

int eventcolor(const char *text)
{
    static const char *const shortforms[] = {"gr", "cl", "bl", "pu", "ye", "re"};
    if (text == nullptr) return -1;
    for (int i = 0; i < NCOLORS; i++) {
        if (strcmp(text, shortforms[i]) == 0) return i;
    }
    return -1;
}

char *dotgiffilename(int color, int acked, int oldage)
{
    if (gifname == nullptr) gifname = (char *)xmalloc(GIFNAME_SIZE);

    const char *variant = "";
    if (acked) variant = "-ack";
    else if (use_recentgifs && !oldage) variant = "-recent";
    const char *filetype = xgetenv("IMAGEFILETYPE");
    snprintf(gifname, GIFNAME_SIZE, "%s%s.%s", colorname(color), variant, filetype ? filetype : "");
    return gifname;
}

int colorset(const char *colspec, int excludeset)
{
    if (colspec == nullptr) return 0;

    char *copy = xstrdup(colspec);
    int set = 0;
    char *save = nullptr;
    for (char *piece = strtok_r(copy, ",", &save); piece; piece = strtok_r(nullptr, ",", &save)) {
        int color = parse_color(piece);
        if (color >= 0 && color < NCOLORS) set |= 1 << color;
    }
    free(copy);
    return set & ~excludeset;
}

} // extern "C"
