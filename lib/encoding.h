/*
 * encoding - small reversible text encodings: Base64 (RFC 4648 alphabet), quoted
 * strings with backslash escapes, and an escaping of line breaks, tabs, backslashes
 * and vertical bars that turns any text into one line without a vertical bar.
 *
 * Line escapes (nlencode / nldecode):
 *   vertical bar -> \p   line feed -> \n   carriage return -> \r
 *   tab          -> \t   backslash -> \\
 *
 * Failure contract: none of these functions fails; a malformed escape in
 * getescapestring writes one error line and decoding goes on.  Allocation failure
 * ends the process (x memory functions).
 */
#ifndef ZARVO_ENCODING_H
#define ZARVO_ENCODING_H

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Base64 form of text (up to its terminator; bytes after a zero byte cannot be
 * encoded).  Returns a new text that the caller frees.  NULL counts as empty.
 */
char *base64encode(const char *text);

/*
 * Decodes Base64 text.  Each full group of four characters gives three bytes; a final
 * group of one to three characters is ignored.  Characters outside the alphabet, "="
 * and bytes of 128 or more count as 0, so padding turns into zero bytes.  Returns a new
 * buffer with the decoded bytes and a terminating zero, which the caller frees; the
 * decoded length is not returned.  NULL counts as empty.
 */
char *base64decode(const char *text);

/*
 * Decodes a quoted string: a leading double quote is skipped and the next unescaped
 * double quote ends the result.  Escapes: \\ \n \r \t and \x with one or two hex
 * digits.  Stores in *result a new, terminated text that the caller frees, and in
 * *length (when length is not NULL) the number of decoded bytes without terminator.
 * On error (a malformed escape): one error line naming the input, and decoding goes
 * on: "\x" without hex digit yields the byte "?", an unknown escape yields the
 * character after the backslash, a backslash at the very end is dropped.
 * NULL text counts as empty.
 */
void getescapestring(const char *text, char **result, int *length);

/*
 * Escaped form of text (NULL counts as empty), in a buffer owned by this function:
 * valid until the next call of nlencode, which overwrites it (the previous result may
 * be passed in again).
 */
char *nlencode(const char *text);

/*
 * Undoes nlencode in place.  A backslash before any other character is dropped and the
 * character stays; a lone backslash at the end is dropped.  NULL is left alone.
 */
void nldecode(char *text);

#ifdef __cplusplus
}
#endif

#endif
