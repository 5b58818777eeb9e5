// The member readers never throw and leave their output alone on failure.
#include <gtest/gtest.h>

#include "ipclib/jsonReaders.h"

namespace {

Json::Value parsed(const char* text) {
    Json::Value value;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, value)) << text;
    return value;
}

}  // namespace

TEST(JsonReaders, NonObjectsAndMissingMembersGiveFalseAndKeepTheOutput) {
    const Json::Value inputs[] = {Json::Value(), Json::Value(3), Json::Value("k"), parsed("[1,2]"), parsed("{}")};
    for (const Json::Value& input : inputs) {
        int number = 42;
        std::string text = "keep";
        bool flag = true;
        Json::Value value(9);
        std::vector<std::string> list{"keep"};
        EXPECT_NO_THROW({
            EXPECT_FALSE(getJsonInt(input, "k", number));
            EXPECT_FALSE(getJsonString(input, "k", text));
            EXPECT_FALSE(getJsonBool(input, "k", flag));
            EXPECT_FALSE(getJsonValue(input, "k", value));
            EXPECT_FALSE(getJsonStringList(input, "k", list));
        });
        EXPECT_EQ(number, 42);
        EXPECT_EQ(text, "keep");
        EXPECT_TRUE(flag);
        EXPECT_EQ(value.asInt(), 9);
        EXPECT_EQ(list.size(), 1u);
    }
}

TEST(JsonReaders, ConvertOnlyWhatTheLibraryConvertsWithoutThrowing) {
    const Json::Value object = parsed(
        "{\"n\":null,\"b\":true,\"i\":-4,\"big\":4294967296,\"r\":3.7,\"s\":\"x\",\"a\":[1],\"o\":{\"p\":1}}");
    int number = 0;
    EXPECT_TRUE(getJsonInt(object, "n", number));
    EXPECT_EQ(number, 0);
    EXPECT_TRUE(getJsonInt(object, "b", number));
    EXPECT_EQ(number, 1);
    EXPECT_TRUE(getJsonInt(object, "r", number));
    EXPECT_EQ(number, 3);
    for (const char* key : {"big", "s", "a", "o"}) EXPECT_FALSE(getJsonInt(object, key, number)) << key;
    bool flag = false;
    EXPECT_TRUE(getJsonBool(object, "i", flag));
    EXPECT_TRUE(flag);
    for (const char* key : {"s", "a", "o"}) EXPECT_FALSE(getJsonBool(object, key, flag)) << key;
    std::string text;
    for (const char* key : {"n", "b", "i", "a", "o"}) EXPECT_FALSE(getJsonString(object, key, text)) << key;
    EXPECT_TRUE(getJsonString(object, "s", text));
    EXPECT_EQ(text, "x");
}

TEST(JsonReaders, ListsAppendAndEmptyListsAreWrittenAsNull) {
    std::vector<std::string> list{"old"};
    EXPECT_TRUE(getJsonStringList(parsed("{\"l\":[\"a\",2]}"), "l", list));
    EXPECT_EQ(list, (std::vector<std::string>{"old", "a", "2"}));
    Json::FastWriter writer;
    EXPECT_EQ(writer.write(jsonStringList({})), "null\n");
    EXPECT_EQ(writer.write(jsonStringList({"b", "a", "2"})), "[\"b\",\"a\",\"2\"]\n");
}
