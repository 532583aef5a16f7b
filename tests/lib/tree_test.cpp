#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <strings.h>
#include <vector>

#include "collect_errors.h"
#include "errormsg.h"
#include "msort.h"
#include "tree.h"

namespace {

struct CaseLess {
    bool operator()(const std::string &a, const std::string &b) const
    {
        return strcasecmp(a.c_str(), b.c_str()) < 0;
    }
};

/*
 * Checks every invariant of an index against the live records expected (key -> user data):
 * the array is strictly ascending over live and deleted records, the walk visits exactly the
 * expected records in order, every expected key is found at its position, and deleted keys are
 * not found.
 */
::testing::AssertionResult saneTree(void *handle,
                                    const std::map<std::string, void *, CaseLess> &live)
{
    xtree_t *t = static_cast<xtree_t *>(handle);
    for (xtreePos_t i = 0; i < t->treesz; i++) {
        if (t->entries[i].key == nullptr)
            return ::testing::AssertionFailure() << "null key at " << i;
        if (i > 0 && t->compare(t->entries[i - 1].key, t->entries[i].key) >= 0) {
            return ::testing::AssertionFailure()
                   << "keys out of order at " << i << ": " << t->entries[i - 1].key << ", "
                   << t->entries[i].key;
        }
        if (t->entries[i].deleted && xtreeFind(handle, t->entries[i].key) != -1) {
            return ::testing::AssertionFailure() << "deleted key found: " << t->entries[i].key;
        }
    }

    auto expected = live.begin();
    for (xtreePos_t pos = xtreeFirst(handle); pos != -1; pos = xtreeNext(handle, pos), ++expected) {
        if (expected == live.end()) return ::testing::AssertionFailure() << "walk too long";
        if (strcasecmp(xtreeKey(handle, pos), expected->first.c_str()) != 0 ||
            xtreeData(handle, pos) != expected->second) {
            return ::testing::AssertionFailure() << "walk gives " << xtreeKey(handle, pos)
                                                 << " where " << expected->first << " was expected";
        }
        if (xtreeFind(handle, expected->first.c_str()) != pos) {
            return ::testing::AssertionFailure() << "find misses " << expected->first;
        }
    }
    if (expected != live.end()) return ::testing::AssertionFailure() << "walk too short";
    return ::testing::AssertionSuccess();
}

void *data(long n)
{
    return reinterpret_cast<void *>(n);
}

std::vector<std::string> walk(void *t)
{
    std::vector<std::string> keys;
    for (xtreePos_t pos = xtreeFirst(t); pos != -1; pos = xtreeNext(t, pos))
        keys.push_back(xtreeKey(t, pos));
    return keys;
}

xtreePos_t treesz(void *t)
{
    return static_cast<xtree_t *>(t)->treesz;
}

} // namespace

TEST(SortedIndex, WalkIsInCaseInsensitiveKeyOrder)
{
    void *t = xtreeNew(strcasecmp);
    char d[] = "delta", a[] = "Alpha", c[] = "charlie";
    EXPECT_EQ(xtreeAdd(t, d, data(1)), XTREE_STATUS_OK);
    EXPECT_EQ(xtreeAdd(t, a, data(2)), XTREE_STATUS_OK);
    EXPECT_EQ(xtreeAdd(t, c, data(3)), XTREE_STATUS_OK);
    EXPECT_EQ(walk(t), (std::vector<std::string>{"Alpha", "charlie", "delta"}));
    EXPECT_EQ(xtreeData(t, xtreeFind(t, "ALPHA")), data(2));
    xtreeDestroy(t);
}

TEST(SortedIndex, ADuplicateKeyInAnotherCaseIsRefusedAndKeepsTheFirstData)
{
    void *t = xtreeNew(strcasecmp);
    char lower[] = "uptime", upper[] = "UPTIME";
    ASSERT_EQ(xtreeAdd(t, lower, data(1)), XTREE_STATUS_OK);
    EXPECT_EQ(xtreeAdd(t, upper, data(2)), XTREE_STATUS_DUPLICATE_KEY);
    EXPECT_EQ(treesz(t), 1);
    EXPECT_EQ(xtreeData(t, xtreeFind(t, "Uptime")), data(1));
    EXPECT_STREQ(xtreeKey(t, xtreeFind(t, "Uptime")), "uptime");
    xtreeDestroy(t);
}

TEST(SortedIndex, ADeletedKeyIsInvisibleButKeepsItsPlaceUntilReused)
{
    void *t = xtreeNew(strcasecmp);
    char a[] = "a", b[] = "b", c[] = "c", b2[] = "B";
    xtreeAdd(t, a, data(1));
    xtreeAdd(t, b, data(2));
    xtreeAdd(t, c, data(3));
    xtreePos_t bpos = xtreeFind(t, "b");

    EXPECT_EQ(xtreeDelete(t, "B"), data(2));
    EXPECT_EQ(xtreeFind(t, "b"), -1);
    EXPECT_EQ(walk(t), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(treesz(t), 3);
    EXPECT_EQ(xtreeDelete(t, "b"), nullptr) << "a second delete finds nothing";

    /* The record still answers by position, with the index's own copy of the key. */
    EXPECT_STREQ(xtreeKey(t, bpos), "b");
    EXPECT_NE(xtreeKey(t, bpos), b);
    EXPECT_EQ(xtreeData(t, bpos), data(2));

    EXPECT_EQ(xtreeAdd(t, b2, data(4)), XTREE_STATUS_OK);
    EXPECT_EQ(treesz(t), 3);
    EXPECT_EQ(xtreeFind(t, "b"), bpos);
    EXPECT_EQ(xtreeKey(t, bpos), b2);
    EXPECT_EQ(xtreeData(t, bpos), data(4));
    xtreeDestroy(t);
}

TEST(SortedIndex, ADeletedKeyStillSortsAfterTheCallerFreedItsString)
{
    void *t = xtreeNew(strcmp);
    std::vector<char *> owned;
    for (const char *k : {"k10", "k20", "k30", "k40"}) {
        owned.push_back(strdup(k));
        xtreeAdd(t, owned.back(), nullptr);
    }
    xtreeDelete(t, "k20");
    free(owned[1]);
    owned[1] = nullptr;

    char k25[] = "k25", k15[] = "k15";
    EXPECT_EQ(xtreeAdd(t, k25, data(25)), XTREE_STATUS_OK);
    EXPECT_EQ(xtreeAdd(t, k15, data(15)), XTREE_STATUS_OK);
    EXPECT_TRUE(saneTree(t, {{"k10", nullptr},
                             {"k15", data(15)},
                             {"k25", data(25)},
                             {"k30", nullptr},
                             {"k40", nullptr}}));
    xtreeDestroy(t);
    for (char *k : owned) free(k);
}

TEST(SortedIndex, WalksAndLookupsOnEmptyNullOrAllDeletedIndexesFindNothing)
{
    EXPECT_EQ(xtreeAdd(nullptr, const_cast<char *>("x"), nullptr), XTREE_STATUS_NOTREE);
    EXPECT_EQ(xtreeFind(nullptr, "x"), -1);
    EXPECT_EQ(xtreeFirst(nullptr), -1);
    EXPECT_EQ(xtreeNext(nullptr, 0), -1);
    EXPECT_EQ(xtreeKey(nullptr, 0), nullptr);
    EXPECT_EQ(xtreeData(nullptr, 0), nullptr);
    EXPECT_EQ(xtreeDelete(nullptr, "x"), nullptr);
    xtreeDestroy(nullptr);

    void *t = xtreeNew(strcasecmp);
    EXPECT_EQ(xtreeFind(t, "x"), -1);
    EXPECT_EQ(xtreeFirst(t), -1);
    EXPECT_EQ(xtreeNext(t, -1), -1);
    EXPECT_EQ(xtreeKey(t, 0), nullptr);
    EXPECT_EQ(xtreeDelete(t, "x"), nullptr);

    char x[] = "x", y[] = "y";
    xtreeAdd(t, x, data(1));
    xtreeAdd(t, y, data(2));
    EXPECT_EQ(xtreeFind(t, nullptr), -1);
    EXPECT_EQ(xtreeDelete(t, nullptr), nullptr);
    EXPECT_EQ(xtreeNext(t, -1), -1);
    EXPECT_EQ(xtreeNext(t, 1), -1) << "the last position has no successor";
    EXPECT_EQ(xtreeNext(t, 7), -1);
    EXPECT_EQ(xtreeNext(t, INT_MAX), -1);
    EXPECT_EQ(xtreeKey(t, -1), nullptr);
    EXPECT_EQ(xtreeKey(t, 2), nullptr);
    EXPECT_EQ(xtreeData(t, 2), nullptr);
    xtreeDelete(t, "x");
    xtreeDelete(t, "y");
    EXPECT_EQ(xtreeFirst(t), -1);
    xtreeDestroy(t);
}

TEST(SortedIndex, ANullKeyOrComparisonIsRefusedWithAnErrorLine)
{
    void *t = xtreeNew(strcasecmp);
    EXPECT_EQ(errorsof([&] { EXPECT_EQ(xtreeAdd(t, nullptr, data(1)), XTREE_STATUS_NOTREE); }),
              "xtreeAdd: Cannot add a NULL key\n");
    EXPECT_EQ(treesz(t), 0);
    xtreeDestroy(t);

    /* No index without an order: the null handle that results is harmless everywhere. */
    EXPECT_EQ(errorsof([&] { t = xtreeNew(nullptr); }), "xtreeNew: No comparison function\n");
    EXPECT_EQ(t, nullptr);
    char k[] = "k";
    EXPECT_EQ(xtreeAdd(t, k, data(1)), XTREE_STATUS_NOTREE);
    EXPECT_EQ(xtreeFind(t, "k"), -1);
}

/* Insertion at the end, at the front, in the middle and into deleted places, in many orders,
 * checked against a model after every operation. */
TEST(SortedIndex, StaysSortedAndAgreesWithAModelThroughRandomAddsAndDeletes)
{
    std::mt19937 rng(12345);
    std::vector<std::unique_ptr<std::string>> keys;
    for (int i = 0; i < 60; i++) {
        std::string k = "key" + std::to_string(i * 7 % 60);
        if (i % 3 == 0) std::transform(k.begin(), k.end(), k.begin(), ::toupper);
        keys.push_back(std::make_unique<std::string>(k));
    }

    for (int round = 0; round < 5; round++) {
        void *t = xtreeNew(strcasecmp);
        std::map<std::string, void *, CaseLess> live;
        for (int step = 0; step < 400; step++) {
            std::string &k = *keys[rng() % keys.size()];
            long value = step + 1;
            if (rng() % 3 != 0) {
                xtreeStatus_t st = xtreeAdd(t, &k[0], data(value));
                if (live.count(k)) {
                    ASSERT_EQ(st, XTREE_STATUS_DUPLICATE_KEY) << k;
                }
                else {
                    ASSERT_EQ(st, XTREE_STATUS_OK) << k;
                    live[k] = data(value);
                }
            }
            else {
                void *got = xtreeDelete(t, k.c_str());
                auto it = live.find(k);
                ASSERT_EQ(got, it == live.end() ? nullptr : it->second) << k;
                if (it != live.end()) live.erase(it);
            }
            ASSERT_TRUE(saneTree(t, live)) << "after step " << step << " of round " << round;
            ASSERT_LE(treesz(t), 60);
        }
        xtreeDestroy(t);
    }
}

namespace {

struct Item {
    int value;
    Item *next;
};

int compareItems(const void *a, const void *b)
{
    const Item *x = *static_cast<Item *const *>(a);
    const Item *y = *static_cast<Item *const *>(b);
    return (x->value > y->value) - (x->value < y->value);
}

void *itemNext(void *e)
{
    return static_cast<Item *>(e)->next;
}

void itemSetNext(void *e, void *n)
{
    static_cast<Item *>(e)->next = static_cast<Item *>(n);
}

} // namespace

TEST(ListSort, AnEmptyListStaysEmptyAndASingleElementGetsNoSuccessor)
{
    EXPECT_EQ(msort(nullptr, compareItems, itemNext, itemSetNext), nullptr);

    Item other{2, nullptr};
    Item one{1, &other};
    Item *single = &one;
    one.next = nullptr;
    EXPECT_EQ(msort(single, compareItems, itemNext, itemSetNext), &one);
    EXPECT_EQ(one.next, nullptr);
}

TEST(ListSort, AMissingCallbackLeavesTheListAsItWasWithAnErrorLine)
{
    Item second{1, nullptr};
    Item first{2, &second};
    std::string errors = errorsof([&] {
        EXPECT_EQ(msort(&first, nullptr, itemNext, itemSetNext), &first);
        EXPECT_EQ(msort(&first, compareItems, nullptr, itemSetNext), &first);
        EXPECT_EQ(msort(&first, compareItems, itemNext, nullptr), &first);
    });
    EXPECT_EQ(first.next, &second);
    EXPECT_EQ(second.next, nullptr);
    EXPECT_EQ(errors, "msort: Missing callback function\n"
                      "msort: Missing callback function\n"
                      "msort: Missing callback function\n");
}

TEST(ListSort, SortsListsOfManyShapesAndKeepsEveryElementOnce)
{
    std::mt19937 rng(99);
    for (size_t n : {2u, 3u, 10u, 257u}) {
        for (int shape = 0; shape < 4; shape++) {
            std::vector<Item> items(n);
            for (size_t i = 0; i < n; i++) {
                switch (shape) {
                case 0: items[i].value = static_cast<int>(i); break;
                case 1: items[i].value = static_cast<int>(n - i); break;
                case 2: items[i].value = static_cast<int>(rng() % 5); break;
                default: items[i].value = static_cast<int>(rng() % 100000) - 50000; break;
                }
                items[i].next = (i + 1 < n) ? &items[i + 1] : nullptr;
            }
            std::vector<int> expected;
            for (const Item &it : items) expected.push_back(it.value);
            std::sort(expected.begin(), expected.end());

            Item *head = static_cast<Item *>(msort(&items[0], compareItems, itemNext, itemSetNext));
            std::vector<int> got;
            std::vector<const Item *> seen;
            for (Item *p = head; p && got.size() <= n; p = p->next) {
                got.push_back(p->value);
                seen.push_back(p);
            }
            EXPECT_EQ(got, expected) << "n=" << n << " shape=" << shape;
            std::sort(seen.begin(), seen.end());
            EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end());
        }
    }
}
