/*
 * Sorted key index ("xtree"): a map from text keys to caller data.
 *
 * Despite the name there is no tree: the records live in one array kept sorted by the caller's
 * comparison function and are found by bisection. Deletion only marks a record; a deleted record
 * keeps its place and a private copy of its key, so the array stays sorted over live and deleted
 * records together, and a later insertion at that place reuses it.
 *
 * Invariants after every operation:
 *   - entries[0 .. treesz-1] are in strictly ascending order of compare(), live and deleted alike
 *     (keys are unique);
 *   - a live record's key is the caller's string (not copied, never freed by the index); a deleted
 *     record's key is a copy owned by the index;
 *   - user data is never freed by the index.
 *
 * Callers hold an index as an untyped handle; a null handle stands for no index at all and every
 * operation accepts it. Positions (xtreePos_t) are array indexes, -1 meaning none; they stay valid
 * until the next insertion (which may move records).
 *
 * Walking in ascending key order:
 *   for (pos = xtreeFirst(t); pos != -1; pos = xtreeNext(t, pos)) ... xtreeKey(t, pos) ...
 *
 * Allocation failure aborts the process (x memory functions). The only other failures are a null
 * comparison function given to xtreeNew and a null key given to xtreeAdd: one error line each.
 * Not thread-safe: callers serialise access to an index.
 */
#ifndef ZARVO_TREE_H
#define ZARVO_TREE_H

#ifdef __cplusplus
extern "C" {
#endif

typedef int xtreePos_t; /* index of a record in entries; -1 = no position */

typedef enum {
    XTREE_STATUS_OK = 0,
    XTREE_STATUS_MEM_EXHAUSTED = 1, /* part of the type; returned by no operation */
    XTREE_STATUS_DUPLICATE_KEY = 2,
    XTREE_STATUS_KEY_NOT_FOUND = 3, /* part of the type; returned by no operation */
    XTREE_STATUS_NOTREE = 4
} xtreeStatus_t;

typedef int (*xtreeCompare_fn_t)(const char *a, const char *b); /* like strcmp/strcasecmp */

typedef struct treerec_t {
    char *key;      /* live: the caller's string; deleted: the index's own copy */
    void *userdata; /* the caller's data, never freed by the index */
    int deleted;    /* 0 = live, 1 = deleted (invisible to lookups and walks) */
} treerec_t;

typedef struct xtree_t {
    treerec_t *entries;        /* sorted ascending by compare; null while empty */
    xtreePos_t treesz;         /* number of records, deleted ones included */
    xtreeCompare_fn_t compare; /* comparison of two keys */
} xtree_t;

/* A new, empty index ordered by compare (e.g. strcasecmp). Destroy it with xtreeDestroy.
 * On error (compare is null): one error line, returns NULL. */
void *xtreeNew(xtreeCompare_fn_t compare);

/* Frees the index, its array and the key copies of deleted records. Live keys and all user data
 * stay the caller's. A null handle is ignored. */
void xtreeDestroy(void *tree);

/* Position of the live record whose key compares equal to key; -1 if there is none, and for a
 * null handle, an empty index or a null key. */
xtreePos_t xtreeFind(void *tree, const char *key);

/* Position of the first live record in key order; -1 if there is none. */
xtreePos_t xtreeFirst(void *tree);

/* Position of the first live record after pos; -1 if there is none or pos is negative. */
xtreePos_t xtreeNext(void *tree, xtreePos_t pos);

/* Key and user data of the record at pos, deleted or not; null when the handle is null or pos is
 * not in 0 .. treesz-1. A deleted record's key stays valid until the index is destroyed or the
 * record reused. */
char *xtreeKey(void *tree, xtreePos_t pos);
void *xtreeData(void *tree, xtreePos_t pos);

/* Inserts key (which must not be null and must stay valid while the record is live) with
 * userdata. Returns XTREE_STATUS_OK; XTREE_STATUS_DUPLICATE_KEY when a live record compares
 * equal (nothing is changed); XTREE_STATUS_NOTREE for a null handle. A null key is treated as a
 * programming error: one error line, returns XTREE_STATUS_NOTREE. */
xtreeStatus_t xtreeAdd(void *tree, char *key, void *userdata);

/* Marks the live record whose key compares equal to key as deleted and returns its user data;
 * null if there is none, for a null handle, an empty index or a null key. The array never
 * shrinks. */
void *xtreeDelete(void *tree, const char *key);

#ifdef __cplusplus
}
#endif

#endif
