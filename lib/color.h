/*
 * color - status colors: the numbers used inside the programs and the words used in
 * messages, configuration and web pages.
 *
 *   0 green   1 clear   2 blue   3 purple   4 yellow   5 red
 *
 * parse_color also knows "client" (99), which has no word of its own and no place in
 * a color set.  A color set is an int with bit n (1 << n) set for each color n.
 *
 * Failure contract: nothing here fails; an unknown color gives "unknown" or -1.
 */
#ifndef ZARVO_COLOR_H
#define ZARVO_COLOR_H

#ifdef __cplusplus
extern "C" {
#endif

#define COL_GREEN 0
#define COL_CLEAR 1
#define COL_BLUE 2
#define COL_PURPLE 3
#define COL_YELLOW 4
#define COL_RED 5
#define COL_CLIENT 99

/* When non-zero, image names of colors that are not yet old get the "-recent" variant.
 * 0 at start; programs set it. */
extern int use_recentgifs;

/* Word of a color: a constant text, never to be freed; "unknown" outside 0-5. */
const char *colorname(int color);

/*
 * Color number of a text that begins with a color word in any case, followed by its
 * end or a character that is not a letter ("red:" and "RED alarm" are red, "reddish"
 * is not).  -1 for NULL or no color word.
 */
int parse_color(const char *text);

/* Color number of a two-letter lower-case short form ("gr", "cl", "bl", "pu", "ye",
 * "re"); -1 for NULL or anything else. */
int eventcolor(const char *text);

/*
 * Image file name of a color: the word, "-ack" when acked, else "-recent" when
 * use_recentgifs is set and oldage is 0, then "." and the setting IMAGEFILETYPE.
 * The text lives in a 1024-byte buffer of this function, valid until its next call.
 */
char *dotgiffilename(int color, int acked, int oldage);

/*
 * Set of the colors named in a comma-separated list, less the colors of excludeset.
 * Pieces that are not colors (a blank after a comma spoils the piece) and "client"
 * add nothing.
 */
int colorset(const char *colspec, int excludeset);

#ifdef __cplusplus
}
#endif

#endif
