/*
 * List sort: sorts any singly linked list of caller records through three callbacks, so the
 * records need no common header.
 *
 * The sort is not stable: elements that compare equal may change their order. Allocation failure
 * aborts the process (x memory functions). On error (a null callback): one error line, the list
 * is left as it was and its head returned.
 */
#ifndef ZARVO_MSORT_H
#define ZARVO_MSORT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Compares two elements. a and b are the ADDRESSES of two element references (void **), as
 * qsort passes them; returns less than 0, 0 or greater than 0. */
typedef int (*msortcompare_fn_t)(const void *a, const void *b);
/* Returns the element after elem, or null at the end of the list. */
typedef void *(*msortgetnext_fn_t)(void *elem);
/* Makes next the successor of elem (next may be null). */
typedef void (*msortsetnext_fn_t)(void *elem, void *next);

/* Sorts the list starting at head and returns its new head; null for an empty list. The
 * elements are relinked in place; the last one gets a null successor. */
void *msort(void *head, msortcompare_fn_t comparefn, msortgetnext_fn_t getnext,
            msortsetnext_fn_t setnext);

#ifdef __cplusplus
}
#endif

#endif
