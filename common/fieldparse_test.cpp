#include "common/fieldparse.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "common/testing/capture_sink.h"
#include "common/testing/child_process.h"
#include "common/testing/temp_dir.h"

namespace {

// One integer field parsed from the start of `line`; the explanation in *why.
bool parse_int(const char* line, const char* description, int32_t low, int32_t high, int32_t* value,
               std::string* why) {
    char text[256];
    std::snprintf(text, sizeof text, "%s", line);
    char buffer[256] = "stale";
    UTextBuffer message{buffer, sizeof buffer};
    bool ok = u_parse_int_field(text, nullptr, description, low, high, nullptr, &message, value);
    *why = buffer;
    return ok;
}

bool parse_double(const char* line, const char* description, double low, double high, double* value,
                  std::string* why) {
    char text[256];
    std::snprintf(text, sizeof text, "%s", line);
    char buffer[256] = "stale";
    UTextBuffer message{buffer, sizeof buffer};
    bool ok = u_parse_double_field(text, nullptr, description, low, high, nullptr, &message, value);
    *why = buffer;
    return ok;
}

}  // namespace

TEST(IntField, AcceptsInRangeAndExplainsEachFault) {
    int32_t v = 0;
    std::string why;
    EXPECT_TRUE(parse_int("1", "disabled", 0, 1, &v, &why));
    EXPECT_EQ(v, 1);
    EXPECT_EQ(why, "");

    EXPECT_FALSE(parse_int("2", "disabled", 0, 1, &v, &why));
    EXPECT_EQ(v, U_FIELD_NO_INT);
    EXPECT_EQ(why,
              "Number out of range.\nExpected 'disabled' an integer value in the range [0,1]\n");

    EXPECT_FALSE(parse_int("abc", "coord x", 0, 639, &v, &why));
    EXPECT_EQ(why, "Not a number.\nExpected 'coord x' an integer value in the range [0,639]\n");

    EXPECT_FALSE(parse_int("12abc", "", 0, 639, &v, &why));
    EXPECT_EQ(why,
              "Extra characters after number.\nExpected an integer value in the range [0,639]\n");
    EXPECT_FALSE(parse_int("0x10", nullptr, 0, 639, &v, &why));
    EXPECT_EQ(why.substr(0, 31), "Extra characters after number.\n");

    EXPECT_FALSE(parse_int("", "n", 0, 9, &v, &why));
    EXPECT_EQ(why, "Missing number.\nExpected 'n' an integer value in the range [0,9]\n");
}

TEST(IntField, BoundTextsFollowWhichBoundsAreSet) {
    int32_t v = 0;
    std::string why;
    parse_int("x", "f", U_FIELD_NO_LOW, 99, &v, &why);
    EXPECT_EQ(why, "Not a number.\nExpected 'f' an integer value less than or equal to 99\n");
    parse_int("x", "f", U_FIELD_NO_LOW, U_FIELD_NO_HIGH, &v, &why);
    EXPECT_EQ(why,
              "Not a number.\nExpected 'f' an integer value less than or equal to 2147483647\n");
    parse_int("x", "f", 5, U_FIELD_NO_HIGH, &v, &why);
    EXPECT_EQ(why, "Not a number.\nExpected 'f' an integer value greater than or equal to 5\n");
    // Both bounds are inclusive, including the extremes.
    EXPECT_TRUE(parse_int("-2147483648", "f", U_FIELD_NO_LOW, 0, &v, &why));
    EXPECT_EQ(v, INT32_MIN);
}

TEST(IntField, ValueBeyond32BitsIsOutOfRangeNotClamped) {
    int32_t v = 0;
    std::string why;
    EXPECT_FALSE(parse_int("99999999999", "f", U_FIELD_NO_LOW, U_FIELD_NO_HIGH, &v, &why));
    EXPECT_EQ(why.substr(0, 21), "Number out of range.\n");
    EXPECT_FALSE(parse_int("-2147483649", "f", U_FIELD_NO_LOW, U_FIELD_NO_HIGH, &v, &why));
    EXPECT_EQ(v, U_FIELD_NO_INT);
}

TEST(IntField, DescriptionIsQuotedWithAtMost40Characters) {
    int32_t v = 0;
    std::string why;
    std::string long_label(60, 'd');
    parse_int("x", long_label.c_str(), 0, 1, &v, &why);
    EXPECT_EQ(why, "Not a number.\nExpected '" + std::string(40, 'd') +
                       "' an integer value in the range [0,1]\n");
}

TEST(IntField, FieldsOfOneLineAreTakenInTurn) {
    char line[] = "10\t20";
    int32_t a = 0, b = 0, c = 0;
    char buffer[200];
    UTextBuffer message{buffer, sizeof buffer};
    EXPECT_TRUE(u_parse_int_field(line, nullptr, "a", 0, 99, nullptr, &message, &a));
    EXPECT_TRUE(u_parse_int_field(nullptr, nullptr, "b", 0, 99, nullptr, &message, &b));
    EXPECT_FALSE(u_parse_int_field(nullptr, nullptr, "c", 0, 99, nullptr, &message, &c));
    EXPECT_EQ(a, 10);
    EXPECT_EQ(b, 20);
    EXPECT_STREQ(buffer, "Missing number.\nExpected 'c' an integer value in the range [0,99]\n");
    // No value pointer: false, and the message is still cleared.
    char again[] = "5";
    EXPECT_FALSE(u_parse_int_field(again, nullptr, "a", 0, 9, nullptr, &message, nullptr));
    EXPECT_STREQ(buffer, "");
}

TEST(IntField, KeywordMismatchFailsSilently) {
    char line[] = "GRAB 3";
    char buffer[200] = "stale";
    UTextBuffer message{buffer, sizeof buffer};
    int32_t v = 0;
    EXPECT_FALSE(u_parse_int_field(line, nullptr, "k", 0, 9, "MODE", &message, &v));
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(v, U_FIELD_NO_INT);
    char match[] = "7";
    EXPECT_TRUE(u_parse_int_field(match, nullptr, "k", 0, 9, "7", &message, &v));
    EXPECT_EQ(v, 7);
}

TEST(IntField, SmallMessageBufferIsCutAndTerminated) {
    char line[] = "abc";
    struct {
        char buffer[16];
        char guard[8];
    } area;
    std::memset(area.guard, 'G', sizeof area.guard);
    UTextBuffer message{area.buffer, sizeof area.buffer};
    int32_t v = 0;
    EXPECT_FALSE(u_parse_int_field(line, nullptr, "coord x", 0, 639, nullptr, &message, &v));
    EXPECT_STREQ(area.buffer, "Not a number.\nE");
    EXPECT_EQ(std::string(area.guard, 8), std::string(8, 'G'));
}

TEST(DoubleField, RangeNaNAndInfinity) {
    double v = 0;
    std::string why;
    EXPECT_TRUE(parse_double("-99", "scale factor", -99, 99, &v, &why));
    EXPECT_EQ(v, -99);
    EXPECT_FALSE(parse_double("99.5", "scale factor", -99, 99, &v, &why));
    EXPECT_TRUE(std::isinf(v) && v > 0);
    EXPECT_EQ(why,
              "Number out of range.\nExpected 'scale factor' a floating point value in the range "
              "[-99,99]\n");

    // Without bounds NaN and infinity still fail.
    EXPECT_FALSE(parse_double("nan", "r", -HUGE_VAL, HUGE_VAL, &v, &why));
    EXPECT_EQ(why,
              "Not a number.\nExpected 'r' a floating point value less than or equal to inf\n");
    EXPECT_FALSE(parse_double("-inf", "r", -HUGE_VAL, HUGE_VAL, &v, &why));
    EXPECT_EQ(why.substr(0, 21), "Number out of range.\n");
    EXPECT_FALSE(parse_double("1e999", "r", -HUGE_VAL, 10, &v, &why));
    EXPECT_EQ(
        why,
        "Number out of range.\nExpected 'r' a floating point value less than or equal to 10\n");
    EXPECT_FALSE(parse_double("1.5x", "r", 0, HUGE_VAL, &v, &why));
    EXPECT_EQ(why,
              "Extra characters after number.\nExpected 'r' a floating point value greater "
              "than or equal to 0\n");
}

TEST(StringField, LengthLimitAndExplanations) {
    char dest[11];
    char buffer[400] = "stale";
    UTextBuffer message{buffer, sizeof buffer};

    char ten[] = "abcdefghij next";
    EXPECT_TRUE(u_parse_string_field(ten, nullptr, "label", 10, &message, dest));
    EXPECT_STREQ(dest, "abcdefghij");
    EXPECT_STREQ(buffer, "");

    char eleven[] = "abcdefghijk";
    EXPECT_FALSE(u_parse_string_field(eleven, nullptr, "label", 10, &message, dest));
    EXPECT_STREQ(dest, "");
    EXPECT_STREQ(buffer,
                 "String longer than maximum of 10 characters.\nExpected label, a string of up "
                 "to 10 characters\n");

    char blank[] = "   ";
    EXPECT_FALSE(u_parse_string_field(blank, nullptr, nullptr, 10, &message, dest));
    EXPECT_STREQ(buffer, "Missing string.\nExpected a string of up to 10 characters\n");

    // A long description is written whole when the buffer has room.
    std::string label(150, 'L');
    char word[] = "abcdefghijkl";
    EXPECT_FALSE(u_parse_string_field(word, nullptr, label.c_str(), 10, &message, dest));
    EXPECT_NE(std::string(buffer).find("Expected " + label + ","), std::string::npos);

    char one[] = "a";
    EXPECT_FALSE(u_parse_string_field(one, nullptr, "label", 1, &message, dest));
}

TEST(FieldTokens, EachThreadKeepsItsOwnPosition) {
    std::promise<void> a_started, b_started;
    int32_t a_second = 0;
    std::thread a([&] {
        char line[] = "1 2 3";
        int32_t v = 0;
        u_parse_int_field(line, nullptr, nullptr, 0, 9, nullptr, nullptr, &v);
        a_started.set_value();
        b_started.get_future().wait();
        u_parse_int_field(nullptr, nullptr, nullptr, 0, 9, nullptr, nullptr, &a_second);
    });
    a_started.get_future().wait();
    char other[] = "7 8 9";
    int32_t v = 0;
    u_parse_int_field(other, nullptr, nullptr, 0, 9, nullptr, nullptr, &v);
    b_started.set_value();
    a.join();
    EXPECT_EQ(a_second, 2);
    u_parse_int_field(nullptr, nullptr, nullptr, 0, 9, nullptr, nullptr, &v);
    EXPECT_EQ(v, 8);
}

TEST(Strxcmp, IgnoresBlanksCaseAndColonsOfTheText) {
    EXPECT_EQ(strxcmp(" version  number:", "VERSION NUMBER"), 0);
    EXPECT_EQ(strxcmp("Grab Mode:", "GRABMODE"), 0);
    EXPECT_EQ(strxcmp("[", "["), 0);
    EXPECT_EQ(strxcmp("A", "A:"), -1);  // the keyword's colon stays
    EXPECT_EQ(strxcmp("abc", "abd"), -1);
    EXPECT_EQ(strxcmp("abd", "ABC"), 1);
    EXPECT_EQ(strxcmp("ab", "abc"), -1);
    EXPECT_EQ(strxcmp("\xe9", "a"), 1);  // bytes compare unsigned
    // Blanks inside quotes count; a colon inside quotes becomes a blank that stays.
    EXPECT_EQ(strxcmp("\"a b\"", "\"A B\""), 0);
    EXPECT_NE(strxcmp("\"a b\"", "\"AB\""), 0);
    EXPECT_EQ(strxcmp("\"a:b\"", "\"A B\""), 0);
    EXPECT_EQ(strxcmp("", ""), 0);
    EXPECT_EQ(strxcmp(nullptr, ""), 0);
}

TEST(SqueezeBlanks, RemovesWhiteSpaceOutsideQuotes) {
    char text[] = "a b \"c d\"";
    EXPECT_EQ(u_squeeze_blanks(text), 2);
    EXPECT_STREQ(text, "ab\"c d\"");
    char mixed[] = " \t\xa0x\r\n";
    EXPECT_EQ(u_squeeze_blanks(mixed), 4);
    EXPECT_STREQ(mixed, "\xa0x");
    EXPECT_EQ(u_squeeze_blanks(nullptr), 0);
}

namespace {

// Runs `body` in a child whose standard input reads `input` and whose
// standard output goes to *output.
int with_console(const std::string& input, std::string* output, const std::function<int()>& body) {
    TempDir dir;
    write_file(dir.file("in"), input);
    std::string out_path = dir.file("out");
    int status = run_in_child([&] {
        if (!std::freopen(dir.file("in").c_str(), "r", stdin)) return 2;
        if (!std::freopen(out_path.c_str(), "w", stdout)) return 2;
        return body();
    });
    *output = read_file(out_path);
    return status;
}

}  // namespace

TEST(Prompts, EmptyAnswerOrEndOfInputKeepsTheValue) {
    std::string out;
    EXPECT_EQ(with_console("\n\r\n", &out,
                           [] {
                               int32_t v = 5;
                               CHILD_REQUIRE(!u_prompt_int("Count [%d]: ", &v) && v == 5);
                               double d = 1.5;
                               CHILD_REQUIRE(!u_prompt_double("Scale [%g]: ", &d) && d == 1.5);
                               bool flag = true;
                               CHILD_REQUIRE(!u_prompt_yes_no("On [%c]? ", &flag) && flag);
                               return 0;
                           }),
              0);
    EXPECT_EQ(out, "Count [5]: Scale [1.5]: On [y]? ");
}

TEST(Prompts, AnswersChangeTheValue) {
    std::string out;
    EXPECT_EQ(with_console("42abc\n70000\n2.5e1\nYes\nmaybe\n0\nnan\n", &out,
                           [] {
                               int32_t v = 0;
                               CHILD_REQUIRE(u_prompt_int(nullptr, &v) && v == 42);
                               int16_t s = 0;
                               CHILD_REQUIRE(u_prompt_short(nullptr, &s) && s == 4464);
                               float f = 0;
                               CHILD_REQUIRE(u_prompt_float(nullptr, &f) && f == 25.0f);
                               bool flag = false;
                               CHILD_REQUIRE(u_prompt_yes_no(nullptr, &flag) && flag);
                               CHILD_REQUIRE(!u_prompt_yes_no(nullptr, &flag) && flag);
                               CHILD_REQUIRE(u_prompt_yes_no(nullptr, &flag) && !flag);
                               double d = 3;
                               CHILD_REQUIRE(!u_prompt_double(nullptr, &d) && d == 3);
                               CHILD_REQUIRE(!u_prompt_double(nullptr, &d) && d == 3);  // EOF
                               return 0;
                           }),
              0);
}

TEST(Prompts, StringAnswerIsAlwaysTerminated) {
    std::string out;
    std::string long_answer(600, 'z');
    EXPECT_EQ(with_console("abc\r\n" + long_answer + "\n7\n", &out,
                           [] {
                               char name[8] = "old";
                               CHILD_REQUIRE(u_prompt_string("Name [%s]: ", name, sizeof name));
                               CHILD_REQUIRE(std::strcmp(name, "abc") == 0);
                               CHILD_REQUIRE(u_prompt_string(nullptr, name, sizeof name));
                               CHILD_REQUIRE(std::strcmp(name, "zzzzzzz") == 0);
                               // The rest of the long answer is not the next answer.
                               int32_t v = 0;
                               CHILD_REQUIRE(u_prompt_int(nullptr, &v) && v == 7);
                               return 0;
                           }),
              0);
    EXPECT_EQ(out, "Name [old]: ");
}

TEST(ListFile, ListsEveryLineWithThePrefix) {
    TempDir dir;
    std::string path = dir.file("info.txt");
    std::string long_line(600, 'q');
    write_file(path, "first\r\nsecond\n\n" + long_line + "\nlast without end");
    CapturedMessages msgs;
    u_list_file(path.c_str(), "> ");
    EXPECT_EQ(msgs.text(),
              "> first\n> second\n> \n> " + std::string(511, 'q') + "\n> last without end\n");
    msgs.clear();
    u_list_file(path.c_str(), nullptr);
    EXPECT_EQ(msgs.text().substr(0, 13), "first\nsecond\n");

    msgs.clear();
    std::string missing = dir.file("none.txt");
    u_list_file(missing.c_str(), "> ");
    EXPECT_EQ(msgs.text(), "Cannot read file " + missing + "\n");
    msgs.clear();
    u_list_file(dir.path().c_str(), "> ");  // a directory is not a text file
    EXPECT_EQ(msgs.text(), "Cannot read file " + dir.path() + "\n");
}

TEST(ReadTextLine, LineEndsAndLengths) {
    TempDir dir;
    std::string path = dir.file("lines");
    write_file(path, "ab\r\nc\rd\n\r\n" + std::string(20, 'x') + "\nend\r");
    FILE* f = std::fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char buffer[8];
    std::size_t length = 0;
    bool has_end = false;
    ASSERT_TRUE(u_read_text_line(f, buffer, sizeof buffer, &length, &has_end));
    EXPECT_STREQ(buffer, "ab");
    EXPECT_EQ(length, 2u);
    EXPECT_TRUE(has_end);
    ASSERT_TRUE(u_read_text_line(f, buffer, sizeof buffer, &length, &has_end));
    EXPECT_STREQ(buffer, "c\rd");  // only a CR before the line end is dropped
    ASSERT_TRUE(u_read_text_line(f, buffer, sizeof buffer, &length, &has_end));
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(length, 0u);
    ASSERT_TRUE(u_read_text_line(f, buffer, sizeof buffer, &length, &has_end));
    EXPECT_STREQ(buffer, "xxxxxxx");
    EXPECT_EQ(length, 20u);
    ASSERT_TRUE(u_read_text_line(f, buffer, sizeof buffer, &length, &has_end));
    EXPECT_STREQ(buffer, "end");
    EXPECT_FALSE(has_end);
    EXPECT_FALSE(u_read_text_line(f, buffer, sizeof buffer, &length, &has_end));
    std::fclose(f);
}
