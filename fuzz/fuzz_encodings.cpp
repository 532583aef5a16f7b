// Fuzz target: Base64, backslash escapes, line-break encoding and HTML quoting. The input is
// one text; the reversible encodings must give it back.

#include <stdlib.h>
#include <string.h>

#include <string>

#include "encoding.h"
#include "fuzz_support.h"
#include "strfunc.h"

using namespace fuzzsupport;

namespace {

volatile size_t touched = 0; // reading every result makes ASan check its memory

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    resetenvironment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    beginrun();
    std::string raw((const char *)data, size);
    std::string text = raw.c_str(); /* up to the first zero byte, as the C interfaces see it */

    char *b64 = base64encode(text.c_str());
    char *back = base64decode(b64);
    if (text != back) __builtin_trap();
    free(back);
    free(b64);
    free(base64decode(text.c_str()));

    char *decoded = nullptr;
    int length = -1;
    getescapestring(text.c_str(), &decoded, &length);
    if (decoded == nullptr || length < 0 || strlen(decoded) > (size_t)length) __builtin_trap();
    free(decoded);

    std::string encoded = nlencode(text.c_str());
    if (encoded.find_first_of("\n\r\t|") != std::string::npos) __builtin_trap();
    nldecode(&encoded[0]);
    if (text != encoded.c_str()) __builtin_trap();
    std::string forms = raw;
    nldecode(&forms[0]);

    std::string quoting = text;
    touched = touched + strlen(htmlquoted(&quoting[0]));
    touched = touched + strlen(prehtmlquoted(&quoting[0]));
    endrun();
    return 0;
}
