// Lines of the data set files: returned without their line feed, the last
// one also without it, and a line that cannot fit the line buffer reported
// with its number instead of being split.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "data/line_reader.h"
#include "test_files.h"

namespace {

using kest::LineReader;
using kest_test::ScratchDir;
using kest_test::write_file;

std::vector<std::string> read_all(const std::string& path, LineReader::Result& last, long& last_number)
{
    LineReader reader(path.c_str());
    std::vector<std::string> lines;
    for (;;) {
        last = reader.next();
        last_number = reader.line_number();
        if (last != LineReader::Result::line) break;
        lines.emplace_back(reader.line());
    }
    return lines;
}

TEST(LineReaderTest, SplitsAtLineFeedsAndKeepsEverythingElse)
{
    ScratchDir dir;
    const std::string path = dir.file("lines.txt");
    write_file(path, "first\n\nthird\r\n  fourth without feed");
    LineReader reader(path.c_str());
    ASSERT_TRUE(reader.is_open());
    const std::vector<std::pair<std::string, bool>> expected = {
        {"first", true}, {"", true}, {"third\r", true}, {"  fourth without feed", false}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(reader.next(), LineReader::Result::line);
        EXPECT_EQ(std::string(reader.line()), expected[i].first);
        EXPECT_EQ(reader.had_line_feed(), expected[i].second);
        EXPECT_EQ(reader.line_number(), static_cast<long>(i + 1));
    }
    EXPECT_EQ(reader.next(), LineReader::Result::end);
    EXPECT_EQ(reader.next(), LineReader::Result::end);
}

TEST(LineReaderTest, EmptyAndAbsentFiles)
{
    ScratchDir dir;
    write_file(dir.file("empty.txt"), "");
    LineReader empty(dir.file("empty.txt").c_str());
    ASSERT_TRUE(empty.is_open());
    EXPECT_EQ(empty.next(), LineReader::Result::end);

    LineReader absent(dir.file("absent.txt").c_str());
    EXPECT_FALSE(absent.is_open());
    EXPECT_EQ(absent.next(), LineReader::Result::end);
    LineReader null_path(nullptr);
    EXPECT_FALSE(null_path.is_open());
}

TEST(LineReaderTest, LongestLineIsReadAndOneMoreIsRefused)
{
    ScratchDir dir;
    const std::string longest(KEST_MAX_LINE - 1, 'x');
    struct Case {
        std::string content;
        std::size_t lines_read;
        LineReader::Result last;
        long last_number;
        bool second_is_longest = false;
    };
    const Case cases[] = {
        {"a\n" + longest + "\nb\n", 3, LineReader::Result::end, 3, true},
        {"a\n" + longest, 2, LineReader::Result::end, 2, true},
        {"a\nb\n" + longest + "x\nc\n", 2, LineReader::Result::too_long, 3},
        {"a\n" + longest + "x", 1, LineReader::Result::too_long, 2},
        {std::string(3 * KEST_MAX_LINE, 'y'), 0, LineReader::Result::too_long, 1},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file("long.txt");
        write_file(path, c.content);
        LineReader::Result last{};
        long number = 0;
        const auto lines = read_all(path, last, number);
        EXPECT_EQ(lines.size(), c.lines_read);
        EXPECT_EQ(last, c.last);
        if (c.last == LineReader::Result::too_long) {
            EXPECT_EQ(number, c.last_number);
        }
        if (c.second_is_longest) {
            EXPECT_EQ(lines[1].size(), longest.size());
        }
    }
}

// A file of several megabytes with lines of random length up to the limit
// comes back line for line, whatever falls on the reader's internal seams.
TEST(LineReaderTest, LargeFileComesBackLineForLine)
{
    ScratchDir dir;
    std::mt19937 random(99);
    std::vector<std::string> lines;
    std::string content;
    while (content.size() < 3u * 1024 * 1024) {
        const std::size_t length = random() % 3 == 0 ? random() % KEST_MAX_LINE : random() % 80;
        std::string line(length, ' ');
        for (char& c : line) c = static_cast<char>('a' + random() % 26);
        content += line + "\n";
        lines.push_back(std::move(line));
    }
    const std::string path = dir.file("big.txt");
    write_file(path, content);
    LineReader::Result last{};
    long number = 0;
    const auto read = read_all(path, last, number);
    EXPECT_EQ(last, LineReader::Result::end);
    ASSERT_EQ(read.size(), lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) ASSERT_EQ(read[i], lines[i]) << "line " << i + 1;
}

}  // namespace
