/* Prints the server home compiled into the installed library and a quoted text, through the
 * installed umbrella header. */
#include <stdio.h>

#include <zarvo/libzarvo.h>

int main(void)
{
    const char *home = xgetenv("ZARVOHOME");
    printf("home=%s\n", home ? home : "(none)");
    printf("quoted=%s\n", htmlquoted((char *)"a<b"));
    return 0;
}
