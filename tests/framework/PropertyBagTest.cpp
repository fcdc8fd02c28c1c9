// CORE::PropertyBag: what requests and replies rely on — order, types, lists of nested bags,
// defaults on the wrong type, and copies that never affect each other.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "quillmesh/PropertyBag.h"

namespace {

using CORE::PropertyBag;
using Type = PropertyBag::ValueType;

PropertyBag Metric(const wchar_t* name, int32_t value) {
    PropertyBag bag;
    bag.add(L"name", name);
    bag.addInt(L"value", value);
    return bag;
}

TEST(PropertyBagTest, KeepsEntriesInOrderWithTypesAndRepeatedKeys) {
    PropertyBag bag;
    bag.add(L"text", L"hello");
    bag.addInt(L"int", -5);
    bag.addInt64(L"wide", 1LL << 40);
    bag.addBool(L"flag", true);
    bag.addBag(L"nested", Metric(L"cpu", 7));
    bag.add(L"text", std::wstring(L"second"));
    bag.add(L"null", static_cast<const wchar_t*>(nullptr));

    ASSERT_EQ(bag.size(), 7u);
    const std::vector<std::pair<std::wstring, Type>> expected = {
        {L"text", Type::Text}, {L"int", Type::Int},    {L"wide", Type::Int64},
        {L"flag", Type::Bool}, {L"nested", Type::Bag}, {L"text", Type::Text},
        {L"null", Type::Text}};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(bag.keyAt(i), expected[i].first) << i;
        EXPECT_EQ(bag.typeAt(i), expected[i].second) << i;
    }
    EXPECT_EQ(bag.textAt(5), L"second");
    EXPECT_EQ(bag.intAt(1), -5);
    EXPECT_EQ(bag.intAt(2), 1LL << 40);
    EXPECT_TRUE(bag.boolAt(3));
    EXPECT_EQ(bag.bagAt(4).get(L"name"), L"cpu");

    // Readers take the first entry of a repeated key; a null text is the empty text.
    EXPECT_EQ(bag.get(L"text"), L"hello");
    EXPECT_EQ(bag.get(L"null", L"fallback"), L"");
    EXPECT_EQ(bag.getInt(L"int"), -5);
    EXPECT_TRUE(bag.getBool(L"flag"));
    EXPECT_EQ(bag.getBag(L"nested").getInt(L"value"), 7);
    EXPECT_TRUE(bag.contains(L"flag"));
    EXPECT_FALSE(bag.contains(L"Flag"));  // keys are case-sensitive
}

TEST(PropertyBagTest, ReadersGiveTheDefaultForAbsentKeysAndOtherTypes) {
    PropertyBag bag;
    bag.add(L"number", L"42");
    bag.addInt(L"count", 3);
    bag.addBool(L"yes", true);
    bag.addInt(L"mixed", 9);
    bag.add(L"mixed", L"later text");

    EXPECT_EQ(bag.getInt(L"number", -1), -1);  // text is never read as a number
    EXPECT_EQ(bag.getInt64(L"number", -1), -1);
    EXPECT_EQ(bag.get(L"count", L"none"), L"none");  // nor a number as text
    EXPECT_EQ(bag.getInt(L"yes", -1), -1);
    EXPECT_FALSE(bag.getBool(L"count", false));
    EXPECT_TRUE(bag.getBool(L"number", true));
    EXPECT_TRUE(bag.getBag(L"count").empty());
    EXPECT_EQ(bag.get(L"mixed", L"none"), L"none");  // the first entry decides
    EXPECT_EQ(bag.getInt(L"missing", -1), -1);
    EXPECT_EQ(bag.get(L"missing"), L"");
}

TEST(PropertyBagTest, IntegerWidthsMeetAtThe32BitBoundaries) {
    PropertyBag bag;
    bag.addInt64(L"max32", INT32_MAX);
    bag.addInt64(L"min32", INT32_MIN);
    bag.addInt64(L"above", int64_t{INT32_MAX} + 1);
    bag.addInt64(L"below", int64_t{INT32_MIN} - 1);
    bag.addInt64(L"max64", INT64_MAX);
    bag.addInt64(L"min64", INT64_MIN);
    bag.addInt(L"narrow", INT32_MIN);

    bag.addInt64(L"tick", 3000000000LL);
    bag.addInt64(L"wrapped", (int64_t{1} << 32) + 5);

    // A 64-bit entry gives its low 32 bits: a tick count past 2^31 keeps its bits.
    EXPECT_EQ(bag.getInt(L"max32", 0), INT32_MAX);
    EXPECT_EQ(bag.getInt(L"min32", 0), INT32_MIN);
    EXPECT_EQ(bag.getInt(L"above", -7), INT32_MIN);
    EXPECT_EQ(bag.getInt(L"below", -7), INT32_MAX);
    EXPECT_EQ(bag.getInt(L"max64", -7), -1);
    EXPECT_EQ(bag.getInt(L"min64", -7), 0);
    EXPECT_EQ(static_cast<uint32_t>(bag.getInt(L"tick", -7)), 3000000000u);
    EXPECT_EQ(bag.getInt(L"wrapped", -7), 5);
    EXPECT_EQ(bag.getInt64(L"above"), int64_t{INT32_MAX} + 1);
    EXPECT_EQ(bag.getInt64(L"max64"), INT64_MAX);
    EXPECT_EQ(bag.getInt64(L"min64"), INT64_MIN);
    EXPECT_EQ(bag.getInt64(L"narrow"), INT32_MIN);
}

TEST(PropertyBagTest, GetNextBagWalksTheBagsOfARepeatedKey) {
    PropertyBag list;
    list.addBag(L"metric", Metric(L"a", 1));
    list.add(L"metric", L"not a bag");
    list.addInt(L"other", 5);
    list.addBag(L"other", Metric(L"x", 99));
    list.addBag(L"metric", Metric(L"b", 2));
    list.addBag(L"metric", Metric(L"c", 3));

    std::vector<std::wstring> names;
    PropertyBag item;
    size_t position = 0;
    while ((position = list.getNextBag(L"metric", item, position)) != 0) {
        names.push_back(item.get(L"name"));
        ASSERT_LE(names.size(), 3u) << "the walk must end";
    }
    EXPECT_EQ(names, (std::vector<std::wstring>{L"a", L"b", L"c"}));
    EXPECT_EQ(item.get(L"name"), L"c");  // the end leaves `out` as it was

    PropertyBag untouched = Metric(L"keep", 0);
    EXPECT_EQ(list.getNextBag(L"missing", untouched, 0), 0u);
    EXPECT_EQ(PropertyBag().getNextBag(L"metric", untouched, 0), 0u);
    EXPECT_EQ(untouched.get(L"name"), L"keep");
}

TEST(PropertyBagTest, CopiesAndNestedBagsNeverAffectEachOther) {
    PropertyBag inner = Metric(L"disk", 1);
    PropertyBag outer;
    outer.addBag(L"inner", inner);
    inner.add(L"added", L"later");  // the stored copy keeps what it had
    EXPECT_FALSE(outer.getBag(L"inner").contains(L"added"));

    PropertyBag copy(outer);
    copy.add(L"copyOnly", L"x");
    PropertyBag fetched = copy.getBag(L"inner");
    fetched.addInt(L"value", 100);
    EXPECT_FALSE(outer.contains(L"copyOnly"));
    EXPECT_EQ(copy.getBag(L"inner").getInt(L"value"), 1);

    PropertyBag assigned;
    assigned = outer;
    outer.remove(L"inner");
    EXPECT_TRUE(assigned.contains(L"inner"));

    PropertyBag moved(std::move(copy));
    EXPECT_TRUE(moved.contains(L"copyOnly"));
    EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): a moved-from bag is empty
    copy.add(L"reused", L"yes");
    EXPECT_EQ(copy.size(), 1u);
}

TEST(PropertyBagTest, CopiesOfOneBagChangeIndependentlyOnManyThreads) {
    PropertyBag base;
    for (int i = 0; i < 50; ++i) base.addBag(L"process", Metric(L"p", i));
    std::vector<std::thread> threads;
    std::vector<size_t> sizes(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&base, &sizes, t] {
            for (int round = 0; round < 200; ++round) {
                PropertyBag mine(base);
                // A key of its own in each round: every thread meets new keys at once.
                mine.addInt((L"round " + std::to_wstring(t * 1000 + round)).c_str(), round);
                PropertyBag nested = mine.getBag(L"process");
                nested.addInt(L"thread", t);
                mine.remove(L"process", false);
                sizes[t] = mine.size();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(base.size(), 50u);
    EXPECT_FALSE(base.getBag(L"process").contains(L"thread"));
    for (size_t size : sizes) EXPECT_EQ(size, 50u);
}

// Keys made from data, more of them than are shared process-wide: each entry then keeps its own
// text, which a copy must not share with the bag it came from.
TEST(PropertyBagTest, ManyDistinctKeysSurviveTheirFirstBag) {
    auto key = [](int i) { return L"value " + std::to_wstring(i); };
    PropertyBag bag;
    for (int i = 0; i < 6000; ++i) bag.addInt(key(i).c_str(), i);
    PropertyBag copy(bag);
    copy.addInt(L"extra", 1);  // now a copy of its own
    bag.clear();
    ASSERT_EQ(copy.size(), 6001u);
    for (int i = 0; i < 6000; i += 599) {
        EXPECT_EQ(copy.keyAt(static_cast<size_t>(i)), key(i));
        EXPECT_EQ(copy.getInt(key(i).c_str(), -1), i);
    }
}

// As the protocol metrics remove an entry: every entry of the key. (Removing only the first and
// replacing a list have no caller.)
TEST(PropertyBagTest, RemoveTakesEveryEntryOfTheKey) {
    PropertyBag bag;
    for (int i = 0; i < 3; ++i) bag.addInt(L"k", i);
    bag.addInt(L"other", 9);
    EXPECT_TRUE(bag.remove(L"k"));
    EXPECT_FALSE(bag.contains(L"k"));
    EXPECT_FALSE(bag.remove(L"k"));
    EXPECT_EQ(bag.size(), 1u);
}

TEST(PropertyBagTest, ErrorsCarryCodeAndTextThroughCopies) {
    PropertyBag reply;
    EXPECT_FALSE(reply.isError());
    EXPECT_EQ(reply.getErrorCode(), 0);
    reply.setError(L"failed to get client info");
    EXPECT_TRUE(reply.isError());
    EXPECT_EQ(reply.getErrorCode(), 0);
    EXPECT_EQ(reply.getErrorText(), L"failed to get client info");
    EXPECT_TRUE(reply.empty());  // an error is not an entry

    reply.setError(120, nullptr);
    EXPECT_EQ(reply.getErrorCode(), 120);
    EXPECT_EQ(reply.getErrorText(), L"");

    PropertyBag copy = reply;
    reply.setError(5, L"changed");
    EXPECT_EQ(copy.getErrorCode(), 120);
    copy.clear();
    EXPECT_FALSE(copy.isError());
    EXPECT_EQ(reply.getErrorText(), L"changed");
}

}  // namespace
