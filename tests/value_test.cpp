// The platform's readings of numbers and texts, and value descriptions.
#include "platform/values/value.h"

#include <gtest/gtest.h>

#include <climits>

using platform::Value;

struct Reading {
    Value value;
    bool b;
    int32_t i;
    float f;
};

TEST(Value, ReadingsOfTextsFollowThePlatform) {
    const Reading table[] = {
        {" 42abc", true, 42, 42.f},
        {"-0007", true, -7, -7.f},
        {"+0009", true, 9, 9.f},
        {"99999999999", true, INT_MAX, 99999999999.f},
        {"-99999999999", true, INT_MIN, -99999999999.f},
        {"yes", true, 0, 0.f},
        {"YES", true, 0, 0.f},
        {"Tuesday", true, 0, 0.f},
        {"true", true, 0, 0.f},
        {"no", false, 0, 0.f},
        {"0", false, 0, 0.f},
        {"000", false, 0, 0.f},
        {"0002", true, 2, 2.f},
        {"", false, 0, 0.f},
        {"   ", false, 0, 0.f},
        {"\t\n 1", true, 1, 1.f},
        {"2.7", true, 2, 2.7f},
        {" -1.5e2x", true, -1, -150.f},
        {"0x10", false, 0, 0.f},
        {"- 5", false, 0, 0.f},
    };
    for (const auto& r : table) {
        SCOPED_TRACE("text \"" + *r.value.string() + "\"");
        EXPECT_EQ(r.value.boolValue(), r.b);
        EXPECT_EQ(r.value.intValue(), r.i);
        EXPECT_FLOAT_EQ(*r.value.floatValue(), r.f);
    }
}

TEST(Value, ReadingsOfNumbersFollowThePlatform) {
    const Reading table[] = {
        {Value(2.7), true, 2, 2.7f},
        {Value(-2.7), true, -2, -2.7f},
        {Value(0.0), false, 0, 0.f},
        {Value(0.4), true, 0, 0.4f},
        {Value(true), true, 1, 1.f},
        {Value(false), false, 0, 0.f},
        {Value(int64_t{5000000000}), true, INT_MAX, 5e9f},
        {Value(int64_t{-5000000000}), true, INT_MIN, -5e9f},
        {Value(1e300), true, INT_MAX, static_cast<float>(1e300)},
        {Value(-1), true, -1, -1.f},
        {Value(0), false, 0, 0.f},
    };
    for (const auto& r : table) {
        SCOPED_TRACE(r.value.description());
        EXPECT_EQ(r.value.boolValue(), r.b);
        EXPECT_EQ(r.value.intValue(), r.i);
        EXPECT_EQ(*r.value.floatValue(), r.f);
    }
}

TEST(Value, DatesDataArraysAndDictionariesAnswerNoReading) {
    const Value none[] = {Value(), Value(platform::Date{10}), Value(platform::Data{1, 2}),
                          Value(platform::Array{Value(1)}),
                          Value(platform::Dictionary{{"a", Value(1)}})};
    for (const auto& v : none) {
        EXPECT_FALSE(v.boolValue().has_value());
        EXPECT_FALSE(v.intValue().has_value());
        EXPECT_FALSE(v.floatValue().has_value());
    }
}

TEST(Value, CopiesAreDeepAndCompareByContent) {
    platform::Dictionary d{{"IsOn", Value(true)},
                           {"list", Value(platform::Array{Value("x"), Value(2)})}};
    Value a(d);
    Value b = a;
    (*b.dictionary())["IsOn"] = Value(false);
    EXPECT_EQ(*a.find("IsOn"), Value(true));
    EXPECT_FALSE(a == b);
    (*b.dictionary())["IsOn"] = Value(true);
    EXPECT_EQ(a, b);
    EXPECT_FALSE(Value(1) == Value(true)) << "a number is not a boolean";
    EXPECT_EQ(a.find("missing"), nullptr);
    EXPECT_EQ(Value(3).find("IsOn"), nullptr);
}

TEST(Value, DescriptionReadsLikeThePlatformsLog) {
    platform::Dictionary d{{"IsOn", Value(true)},
                           {"WaveProtocolSpeed", Value(1)},
                           {"Name", Value("two words")},
                           {"Rows", Value(platform::Array{Value("a"), Value(1.5)})}};
    EXPECT_EQ(Value(d).description(),
              "{\n"
              "    IsOn = 1;\n"
              "    Name = \"two words\";\n"
              "    Rows = (\n"
              "        a,\n"
              "        1.5\n"
              "    );\n"
              "    WaveProtocolSpeed = 1;\n"
              "}");
    EXPECT_EQ(Value("plain text").description(), "plain text");
    EXPECT_EQ(Value(platform::Data{0xde, 0xad, 0xbe, 0xef, 0x01}).description(), "<deadbeef 01>");
    EXPECT_EQ(Value(platform::Date{0}).description(), "2001-01-01 00:00:00 +0000");
}
