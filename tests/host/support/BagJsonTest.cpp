// The JSON form of bags: the exact text the host prints, round trips, and every refusal. The
// reply around a bag (result, error, reply) is pinned by WireContractTest.
#include <gtest/gtest.h>

#include <string>

#include "BagJson.h"

namespace {

using CORE::PropertyBag;
using dorn::BagToJson;
using dorn::JsonToBag;

PropertyBag Process(int32_t pid, const wchar_t* name) {
    PropertyBag bag;
    bag.addInt(L"pid", pid);
    bag.add(L"name", name);
    return bag;
}

TEST(BagJsonTest, WritesEntriesInOrderWithRepeatedKeysAsOneArray) {
    PropertyBag bag;
    bag.add(L"text", L"a \"quoted\" \\ line\nnext");
    bag.addBag(L"process", Process(1, L"init"));
    bag.addInt(L"count", -3);
    bag.addBag(L"process", Process(42, L"Gr\u00fc\u00dfe"));
    bag.addInt64(L"big", INT64_MIN);
    bag.addBool(L"ok", true);
    bag.addBool(L"no", false);
    bag.addBag(L"empty", PropertyBag());
    EXPECT_EQ(BagToJson(bag),
              "{\"text\": \"a \\\"quoted\\\" \\\\ line\\nnext\", "
              "\"process\": [{\"pid\": 1, \"name\": \"init\"}, {\"pid\": 42, \"name\": "
              "\"Gr\xc3\xbc\xc3\x9f"
              "e\"}], "
              "\"count\": -3, \"big\": -9223372036854775808, \"ok\": true, \"no\": false, "
              "\"empty\": {}}");
    EXPECT_EQ(BagToJson(PropertyBag()), "{}");
}

TEST(BagJsonTest, ReadsObjectsIntoTypedEntriesAndRoundTrips) {
    PropertyBag bag;
    std::string error;
    ASSERT_TRUE(JsonToBag(R"({"opcode": "ClientInfo", "SESSIONID": 3, "wide": 2147483648,
        "low": -2147483649, "max": 9223372036854775807, "flag": false,
        "metric": [{"k": 1}, {"k": 2}], "mixed": [1, "two", true],
        "nested": {"inner": {"deep": "\u00e9"}}, "none": []})",
                          bag, error))
        << error;
    EXPECT_EQ(bag.get(L"opcode"), L"ClientInfo");
    EXPECT_EQ(bag.getInt(L"SESSIONID", -1), 3);
    EXPECT_EQ(bag.typeAt(1), PropertyBag::ValueType::Int);
    EXPECT_EQ(bag.typeAt(2), PropertyBag::ValueType::Int64);
    EXPECT_EQ(bag.getInt64(L"wide"), 2147483648LL);
    EXPECT_EQ(bag.getInt64(L"low"), -2147483649LL);
    EXPECT_EQ(bag.getInt64(L"max"), INT64_MAX);
    EXPECT_FALSE(bag.getBool(L"flag", true));
    EXPECT_EQ(bag.getBag(L"nested").getBag(L"inner").get(L"deep"), L"\u00e9");
    EXPECT_FALSE(bag.contains(L"none"));  // an empty array holds no values

    PropertyBag metric;
    size_t position = bag.getNextBag(L"metric", metric, 0);
    EXPECT_EQ(metric.getInt(L"k"), 1);
    position = bag.getNextBag(L"metric", metric, position);
    EXPECT_EQ(metric.getInt(L"k"), 2);
    EXPECT_EQ(bag.getNextBag(L"metric", metric, position), 0u);

    const std::string written = BagToJson(bag);
    PropertyBag again;
    ASSERT_TRUE(JsonToBag(written, again, error)) << error;
    EXPECT_EQ(BagToJson(again), written);
    EXPECT_EQ(again.size(), bag.size());
}

TEST(BagJsonTest, RefusalsAreClearAndLeaveTheBagUntouched) {
    const std::pair<const char*, const char*> cases[] = {
        {"[1, 2]", "request is not a JSON object"},
        {"\"text\"", "request is not a JSON object"},
        {R"({"x": null})", "value of \"x\" is null"},
        {R"({"x": 1.5})", "value of \"x\" is not an integer that fits 64 bits"},
        {R"({"x": 1e30})", "value of \"x\" is not an integer that fits 64 bits"},
        {R"({"x": 9223372036854775808})", "value of \"x\" is not an integer that fits 64 bits"},
        {R"({"x": -9223372036854775809})", "value of \"x\" is not an integer that fits 64 bits"},
        {R"({"a": {"b": [1, null]}})", "value of \"a.b[1]\" is null"},
        {R"({"x": [[1]]})", "value of \"x[0]\" is an array inside an array"},
        {R"({"x": 1, "x": 2})", "key \"x\" occurs twice in one object (a list is an array)"},
        {R"({"x": null, "x": 2})", "key \"x\" occurs twice in one object (a list is an array)"},
        {R"({"SESSIONID": 1, "SESSIONID\u0000x": 2})",
         "key \"SESSIONID\\u0000x\" holds a NUL character"},
        {R"({"a": [{"b": 1.5}]})", "value of \"a[0].b\" is not an integer that fits 64 bits"},
    };
    for (const auto& [json, expected] : cases) {
        PropertyBag bag;
        bag.add(L"kept", L"yes");
        std::string error;
        EXPECT_FALSE(JsonToBag(json, bag, error)) << json;
        EXPECT_EQ(error, expected) << json;
        EXPECT_EQ(bag.size(), 1u) << json;
        EXPECT_EQ(bag.get(L"kept"), L"yes");
    }

    for (const std::string& json : {std::string("{\"x\": "), std::string("not json"),
                                    std::string(""), std::string("{\"x\": \"\xff\"}")}) {
        PropertyBag bag;
        std::string error;
        EXPECT_FALSE(JsonToBag(json, bag, error)) << json;
        EXPECT_EQ(error.rfind("invalid JSON: ", 0), 0u) << error;
        EXPECT_EQ(error.find("json.exception"), std::string::npos) << error;
        EXPECT_TRUE(bag.empty());
    }

    std::string deep;
    for (int i = 0; i < 100; ++i) deep += "{\"a\": ";
    deep += "1";
    for (int i = 0; i < 100; ++i) deep += "}";
    PropertyBag bag;
    std::string error;
    EXPECT_FALSE(JsonToBag(deep, bag, error));
    EXPECT_EQ(error, "request is nested deeper than 64 levels");
}

}  // namespace
