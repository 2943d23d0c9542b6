// The renderings of values and the line shapes, as tables of cases.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "report.hpp"
#include "tolvane.hpp"

namespace {

std::string hex_text(std::uint64_t value, int digits) {
    char buffer[24];
    return std::string(buffer, hex(value, digits, buffer));
}
std::string decimal_text(std::uint64_t value) {
    char buffer[24];
    return std::string(buffer, decimal(value, buffer));
}

TEST(Render, Hex) {
    struct Case { std::uint64_t value; int digits; const char* text; };
    const Case cases[] = {
        {136, 2, "88"}, {5, 2, "05"}, {2400, 4, "0960"}, {19, 8, "00000013"},
        {0, 2, "00"}, {0x1ABC, 2, "1ABC"}, {0xFFFFFFFFu, 8, "FFFFFFFF"},
        {0x100000000ull, 8, "100000000"}, {0xFFFFFFFFFFFFFFFFull, 8, "FFFFFFFFFFFFFFFF"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(hex_text(c.value, c.digits), c.text) << c.value;
    }
}

TEST(Render, Decimal) {
    struct Case { std::uint64_t value; const char* text; };
    const Case cases[] = {
        {0, "0"}, {7, "7"}, {2048, "2048"}, {4294967296ull, "4294967296"},
        {18446744073709551615ull, "18446744073709551615"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decimal_text(c.value), c.text);
    }
}

TEST(Render, FieldText) {
    struct Case { std::string field; std::string text; };
    const Case cases[] = {
        {"CD001", "CD001"},
        {std::string(32, ' '), ""},
        {"NAME" + std::string(28, ' '), "NAME" + std::string(28, ' ')},
        {"  LEADING  ", "  LEADING  "},
        {std::string(5, '\0'), std::string(5, '\0')},
        {std::string(31, ' ') + '\0', std::string(31, ' ') + '\0'},
    };
    for (const Case& c : cases) {
        const Text text = field_text(reinterpret_cast<const unsigned char*>(c.field.data()), c.field.size());
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(text.bytes), text.length), c.text);
    }
}

TEST(Render, SwapBytesGivesFileOrder) {
    const unsigned char stored[4] = {0x0A, 0x1B, 0x2C, 0x3D};
    EXPECT_EQ(le32_at(stored, 0), 0x3D2C1B0Au);
    EXPECT_EQ(swap_bytes32(le32_at(stored, 0)), 0x0A1B2C3Du);
    EXPECT_EQ(swap_bytes32(0x12345678u), 0x78563412u);
}

Output captured(std::string* into) {
    Output out{};
    out.capture = into;
    return out;
}

TEST(Render, LineShapes) {
    struct Case { std::function<void(Output&)> write; std::string line; };
    const unsigned char field[] = {'A', 0x1B, '\0', 0xFF, ' '};
    const Case cases[] = {
        {[](Output& o) { heading_line(o, "boot-catalog"); }, "boot-catalog\r\n"},
        {[&](Output& o) { text_line(o, "id:", raw_text(field, 5)); }, std::string("id:A\x1b\0\xff \r\n", 10)},
        {[](Output& o) { decimal_line(o, "n:", 4294967295u); }, "n:4294967295\r\n"},
        {[](Output& o) { hex_line(o, "b:$", 0x88, 2); }, "b:$88\r\n"},
        {[](Output& o) { sector_line(o, "s:$", 16); }, "s:$00000010 (32768)\r\n"},
        {[](Output& o) { position_line(o, "p:$", 16); }, "p:$00008000 (32768)\r\n"},
        {[](Output& o) { position_line(o, "p:$", 0x200000); }, "p:$100000000 (4294967296)\r\n"},
        {[](Output& o) { sector_line(o, "s:$", 0xFFFFFFFFu); }, "s:$FFFFFFFF (8796093020160)\r\n"},
        {[](Output& o) { count_line(o, "c:$", 4); }, "c:$0004 (2048)\r\n"},
        {[](Output& o) { count_line(o, "c:$", 0xFFFF); }, "c:$FFFF (33553920)\r\n"},
    };
    for (const Case& c : cases) {
        std::string text;
        Output out = captured(&text);
        c.write(out);
        ASSERT_TRUE(flush_output(out));
        EXPECT_EQ(text, c.line);
    }
}

TEST(Render, TerminalSafeTextShowsUnsafeBytesAsQuestionMarks) {
    const unsigned char field[] = {'O', 'K', 0x1B, ']', '0', ';', 0x07, 0x08, '\r', '\0', 0x7F, 0x80, 0xFF, '~', ' '};
    std::string text;
    Output out = captured(&text);
    out.terminal_safe = true;
    text_line(out, "Volume Identifier:", raw_text(field, sizeof field));
    ASSERT_TRUE(flush_output(out));
    EXPECT_EQ(text, "Volume Identifier:OK?]0;???????~ \r\n");
}

TEST(Render, LongReportsPassThroughTheBufferWhole) {
    std::string text;
    Output out = captured(&text);
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        decimal_line(out, "line:", static_cast<std::uint64_t>(i));
        expected += "line:" + std::to_string(i) + "\r\n";
    }
    ASSERT_TRUE(flush_output(out));
    EXPECT_EQ(text, expected);
}

}  // namespace
