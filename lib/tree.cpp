/* Sorted key index over one sorted array. See tree.h. */
#include "tree.h"

#include <cstring>

#include "errormsg.h"
#include "memory.h"

namespace {

xtree_t *handle(void *tree)
{
    return static_cast<xtree_t *>(tree);
}

/*
 * Bisection over all records, live or deleted. Returns the last probed position: the record
 * that compares equal if there is one, otherwise a neighbour of the place where key belongs.
 * The index must not be empty.
 */
xtreePos_t bisect(const xtree_t *t, const char *key)
{
    xtreePos_t lowlim = 0, uplim = t->treesz - 1, n = 0;
    while (uplim >= 0 && lowlim <= uplim) {
        n = lowlim + (uplim - lowlim) / 2;
        int cmp = t->compare(key, t->entries[n].key);
        if (cmp == 0) break;
        if (cmp > 0) lowlim = n + 1;
        else uplim = n - 1;
    }
    return n;
}

/* Position of the live record comparing equal to key, or -1. */
xtreePos_t findlive(const xtree_t *t, const char *key)
{
    if (t == nullptr || t->treesz == 0 || key == nullptr) return -1;
    xtreePos_t n = bisect(t, key);
    if (n < t->treesz && !t->entries[n].deleted && t->compare(key, t->entries[n].key) == 0) {
        return n;
    }
    return -1;
}

/* Makes the deleted record at pos live again with a new key and user data. */
void reuse(treerec_t *rec, char *key, void *userdata)
{
    xfree(rec->key);
    rec->key = key;
    rec->userdata = userdata;
    rec->deleted = 0;
}

/* Inserts a new live record at pos, moving the records from pos on one place up. */
void insertat(xtree_t *t, xtreePos_t pos, char *key, void *userdata)
{
    size_t newcount = static_cast<size_t>(t->treesz) + 1;
    t->entries =
        static_cast<treerec_t *>(t->entries ? xrealloc(t->entries, newcount * sizeof(treerec_t))
                                            : xmalloc(newcount * sizeof(treerec_t)));
    memmove(t->entries + pos + 1, t->entries + pos,
            static_cast<size_t>(t->treesz - pos) * sizeof(treerec_t));
    t->entries[pos].key = key;
    t->entries[pos].userdata = userdata;
    t->entries[pos].deleted = 0;
    t->treesz++;
}

} // namespace

void *xtreeNew(xtreeCompare_fn_t compare)
{
    if (compare == nullptr) {
        errprintf("xtreeNew: No comparison function\n");
        return nullptr;
    }
    xtree_t *t = static_cast<xtree_t *>(xcalloc(1, sizeof(xtree_t)));
    t->entries = nullptr;
    t->treesz = 0;
    t->compare = compare;
    return t;
}

void xtreeDestroy(void *tree)
{
    xtree_t *t = handle(tree);
    if (t == nullptr) return;
    for (xtreePos_t i = 0; i < t->treesz; i++) {
        if (t->entries[i].deleted) xfree(t->entries[i].key);
    }
    if (t->entries) xfree(t->entries);
    xfree(t);
}

xtreePos_t xtreeFind(void *tree, const char *key)
{
    return findlive(handle(tree), key);
}

xtreePos_t xtreeFirst(void *tree)
{
    xtree_t *t = handle(tree);
    if (t == nullptr) return -1;
    for (xtreePos_t i = 0; i < t->treesz; i++) {
        if (!t->entries[i].deleted) return i;
    }
    return -1;
}

xtreePos_t xtreeNext(void *tree, xtreePos_t pos)
{
    xtree_t *t = handle(tree);
    /* A position at or past the end has no successor; checking it first also keeps pos + 1
     * from overflowing. */
    if (t == nullptr || pos < 0 || pos >= t->treesz) return -1;
    for (xtreePos_t i = pos + 1; i < t->treesz; i++) {
        if (!t->entries[i].deleted) return i;
    }
    return -1;
}

char *xtreeKey(void *tree, xtreePos_t pos)
{
    xtree_t *t = handle(tree);
    if (t == nullptr || pos < 0 || pos >= t->treesz) return nullptr;
    return t->entries[pos].key;
}

void *xtreeData(void *tree, xtreePos_t pos)
{
    xtree_t *t = handle(tree);
    if (t == nullptr || pos < 0 || pos >= t->treesz) return nullptr;
    return t->entries[pos].userdata;
}

xtreeStatus_t xtreeAdd(void *tree, char *key, void *userdata)
{
    xtree_t *t = handle(tree);
    if (t == nullptr) return XTREE_STATUS_NOTREE;
    if (key == nullptr) {
        errprintf("xtreeAdd: Cannot add a NULL key\n");
        return XTREE_STATUS_NOTREE;
    }

    if (t->treesz == 0) {
        insertat(t, 0, key, userdata);
        return XTREE_STATUS_OK;
    }

    xtreePos_t n = bisect(t, key);
    int cmp = t->compare(key, t->entries[n].key);
    if (cmp == 0) {
        if (!t->entries[n].deleted) return XTREE_STATUS_DUPLICATE_KEY;
        reuse(&t->entries[n], key, userdata);
        return XTREE_STATUS_OK;
    }

    /*
     * The place of the new record: directly after the probed one if that sorts before key. A
     * deleted record there sorts after key and before its successor, so it can take the new
     * key; a new first or last record is always inserted.
     */
    xtreePos_t place = (cmp > 0) ? n + 1 : n;
    if (place > 0 && place < t->treesz && t->entries[place].deleted) {
        reuse(&t->entries[place], key, userdata);
    }
    else {
        insertat(t, place, key, userdata);
    }
    return XTREE_STATUS_OK;
}

void *xtreeDelete(void *tree, const char *key)
{
    xtree_t *t = handle(tree);
    xtreePos_t n = findlive(t, key);
    if (n < 0) return nullptr;

    treerec_t *rec = &t->entries[n];
    rec->key = xstrdup(rec->key);
    rec->deleted = 1;
    return rec->userdata;
}
