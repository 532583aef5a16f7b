/* List sort through an array of element references. See msort.h. */
#include "msort.h"

#include <cstdlib>

#include "errormsg.h"
#include "memory.h"

void *msort(void *head, msortcompare_fn_t comparefn, msortgetnext_fn_t getnext,
            msortsetnext_fn_t setnext)
{
    if (head == nullptr) return nullptr;
    if (comparefn == nullptr || getnext == nullptr || setnext == nullptr) {
        errprintf("msort: Missing callback function\n");
        return head;
    }

    size_t count = 0;
    for (void *walk = head; walk; walk = getnext(walk)) count++;

    /* One extra slot holding null, so that every element has a successor slot to link to. */
    void **array = static_cast<void **>(xcalloc(count + 1, sizeof(void *)));
    size_t i = 0;
    for (void *walk = head; walk; walk = getnext(walk)) array[i++] = walk;

    qsort(array, count, sizeof(void *), comparefn);
    for (i = 0; i < count; i++) setnext(array[i], array[i + 1]);

    void *result = array[0];
    xfree(array);
    return result;
}
