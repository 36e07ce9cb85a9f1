// The report reader: the sizing and reading passes on a table of report
// files, the lines they print, their codes, and lists that are never
// written beyond the caller's total.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "kest.h"
#include "test_files.h"

namespace {

using namespace kest_test;

constexpr int unset = -77;

struct Sized {
    int records = unset, total = unset;
    int error[2] = {55, 55};
};

Sized size_report(const std::string& path)
{
    Sized s;
    read_rep(path.c_str(), 0, &s.records, &s.total, nullptr, nullptr, s.error);
    return s;
}

struct Read {
    std::vector<int> recs, vars;  // the caller's total and one guard element each
    int error[2] = {55, 55};
    std::string printed;
};

Read read_report(const std::string& path, int records, int total, int pass = 1)
{
    Read r;
    const std::size_t room = static_cast<std::size_t>(std::max(total, 0)) + 1;
    r.recs.assign(room, unset);
    r.vars.assign(room, unset);
    testing::internal::CaptureStdout();
    read_rep(path.c_str(), pass, &records, &total, r.recs.data(), r.vars.data(), r.error);
    r.printed = testing::internal::GetCapturedStdout();
    return r;
}

// ---------------------------------------------------------------------------
// Files that read cleanly: both passes

struct Cell {
    int rec, var;
    bool operator==(const Cell&) const = default;
};

struct CleanCase {
    const char* name;
    const char* text;
    int records, total;
    std::vector<Cell> cells;
};
void PrintTo(const CleanCase& c, std::ostream* os) { *os << c.name; }

class ReadRepClean : public testing::TestWithParam<CleanCase> {};

TEST_P(ReadRepClean, SizesAndReads)
{
    const CleanCase& c = GetParam();
    ScratchDir dir;
    const std::string path = dir.file("report.txt");
    write_file(path, c.text);

    const Sized s = size_report(path);
    ASSERT_EQ(s.error[0], 0);
    EXPECT_EQ(s.error[1], 0);
    EXPECT_EQ(s.records, c.records);
    ASSERT_EQ(s.total, c.total);

    const Read r = read_report(path, s.records, s.total);
    ASSERT_EQ(r.error[0], 0);
    EXPECT_EQ(r.error[1], 0);
    EXPECT_EQ(r.printed, " num = " + std::to_string(c.records) + " \n");
    std::vector<Cell> cells;
    for (int k = 0; k < s.total; ++k) cells.push_back({r.recs[static_cast<std::size_t>(k)], r.vars[static_cast<std::size_t>(k)]});
    EXPECT_EQ(cells, c.cells);
    EXPECT_EQ(r.recs.back(), unset);
    EXPECT_EQ(r.vars.back(), unset);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ReadRepClean,
    testing::Values(
        CleanCase{"two_variables_of_record_12", "12,3,2,4,7,\n", 1, 2, {{11, 3}, {11, 6}}},
        CleanCase{"one_entry", "5,0,1,2,", 1, 1, {{4, 1}}},
        CleanCase{"second_number_unused", "5,987654,1,2,\n", 1, 1, {{4, 1}}},
        CleanCase{"several_lines", "1,0,1,3,\n4,0,3,1,2,6,\n10,9,1,10,\n", 3, 5,
                  {{0, 2}, {3, 0}, {3, 1}, {3, 5}, {9, 9}}},
        CleanCase{"blanks_and_crlf", " 3, 0, 2, 1,\t2,\r\n  7,1,1,+5,\r\n", 2, 3, {{2, 0}, {2, 1}, {6, 4}}},
        CleanCase{"text_after_the_last_header_ends_the_file", "2,0,1,1,\nend of report\n2,0,1,1,\n", 1, 1, {{1, 0}}},
        CleanCase{"largest_int", "2147483647,0,1,2147483647,\n", 1, 1, {{2147483646, 2147483646}}}),
    [](const testing::TestParamInfo<CleanCase>& info) { return std::string(info.param.name); });

TEST(ReadRep, TheReadingPassStopsAfterTheGivenRecords)
{
    ScratchDir dir;
    const std::string path = dir.file("r.txt");
    write_file(path, "1,0,1,3,\n2,0,1,4,\n3,0,1,5,\n");
    const Read r = read_report(path, 2, 3);
    ASSERT_EQ(r.error[0], 0);
    EXPECT_EQ(r.printed, " num = 2 \n");
    EXPECT_EQ(r.recs, (std::vector<int>{0, 1, unset, unset}));
    EXPECT_EQ(r.vars, (std::vector<int>{2, 3, unset, unset}));
}

// ---------------------------------------------------------------------------
// Sizing failures

struct SizingCase {
    const char* name;
    const char* text;
    int code, detail;
};
void PrintTo(const SizingCase& c, std::ostream* os) { *os << c.name; }

class ReadRepSizing : public testing::TestWithParam<SizingCase> {};

TEST_P(ReadRepSizing, Fails)
{
    const SizingCase& c = GetParam();
    ScratchDir dir;
    write_file(dir.file("r.txt"), c.text);
    const Sized s = size_report(dir.file("r.txt"));
    EXPECT_EQ(s.error[0], c.code);
    EXPECT_EQ(s.error[1], c.detail);
    EXPECT_EQ(s.records, unset);
    EXPECT_EQ(s.total, unset);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ReadRepSizing,
    testing::Values(SizingCase{"empty_file", "", 1, 0},
                    SizingCase{"blank_lines_only", "\n \n", 1, 0},
                    SizingCase{"first_line_not_numbers", "record,var\n1,0,1,1,\n", 1, 0},
                    SizingCase{"first_header_short", "1,0\n", 1, 0},
                    SizingCase{"number_beyond_an_int", "2147483648,0,1,1,\n", 1, 0},
                    SizingCase{"count_zero_on_line_2", "1,0,1,4,\n2,0,0,\n", 10, 2},
                    SizingCase{"negative_count_on_line_1", "1,0,-3,4,\n", 10, 1},
                    SizingCase{"entries_beyond_an_int", "1,0,2147483647,5,\n2,0,1,1,\n", 11, 2}),
    [](const testing::TestParamInfo<SizingCase>& info) { return std::string(info.param.name); });

TEST(ReadRep, AFileThatCannotBeOpened)
{
    ScratchDir dir;
    const Sized s = size_report(dir.file("absent.txt"));
    EXPECT_EQ(s.error[0], 1);
    EXPECT_EQ(s.error[1], 1);
    const Read r = read_report(dir.file("absent.txt"), 1, 1);
    EXPECT_EQ(r.error[0], 1);
    EXPECT_EQ(r.error[1], 1);
    EXPECT_EQ(r.printed, "");
}

// ---------------------------------------------------------------------------
// Reading failures

TEST(ReadRep, ATotalBelowOneIsRefusedBeforeAnythingIsPrinted)
{
    ScratchDir dir;
    write_file(dir.file("r.txt"), "1,0,1,3,\n");
    const Read r = read_report(dir.file("r.txt"), 4, 0);
    EXPECT_EQ(r.error[0], 3);
    EXPECT_EQ(r.error[1], 4);
    EXPECT_EQ(r.printed, "");
}

struct ReadingCase {
    const char* name;
    const char* text;
    int records, total;
    int code, detail;
    const char* printed;
    std::vector<int> recs;  // the whole list, guard included
};
void PrintTo(const ReadingCase& c, std::ostream* os) { *os << c.name; }

class ReadRepReading : public testing::TestWithParam<ReadingCase> {};

TEST_P(ReadRepReading, Fails)
{
    const ReadingCase& c = GetParam();
    ScratchDir dir;
    write_file(dir.file("r.txt"), c.text);
    const Read r = read_report(dir.file("r.txt"), c.records, c.total);
    EXPECT_EQ(r.error[0], c.code);
    EXPECT_EQ(r.error[1], c.detail);
    EXPECT_EQ(r.printed, c.printed);
    EXPECT_EQ(r.recs, c.recs);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ReadRepReading,
    testing::Values(
        ReadingCase{"end_of_file_before_a_header", "1,0,1,3,\n", 2, 2, 1, 0, " num = 2 \n err = -1 \n", {0, unset, unset}},
        ReadingCase{"header_with_one_number", "1,0,1,3,\n7,x\n", 2, 2, 1, 0, " num = 2 \n err = 1 \n", {0, unset, unset}},
        ReadingCase{"header_without_numbers", "x\n", 1, 1, 1, 0, " num = 1 \n err = 0 \n", {unset, unset}},
        ReadingCase{"header_ending_after_two", "1,0,1,3,\n7,0", 2, 2, 1, 0, " num = 2 \n err = 2 \n", {0, unset, unset}},
        ReadingCase{"entry_unreadable_in_record_1", "1,0,1,3,\n2,0,2,5,x,\n", 2, 3, 1, 1, " num = 2 \n", {0, 1, unset, unset}},
        ReadingCase{"entry_missing_at_the_end", "1,0,2,3,", 1, 2, 1, 0, " num = 1 \n", {0, unset, unset}},
        // The file holds more entries than the lists: a file changed since
        // sizing, or a count larger than the numbers on its line.
        ReadingCase{"more_entries_than_the_total", "1,0,1,3,\n2,0,3,4,5,6,\n", 2, 2, 12, 1, " num = 2 \n", {0, 1, unset}},
        ReadingCase{"count_beyond_the_total", "1,0,2000000000,1,2,\n", 1, 1, 12, 0, " num = 1 \n", {0, unset}}),
    [](const testing::TestParamInfo<ReadingCase>& info) { return std::string(info.param.name); });

TEST(ReadRep, AFileGrownSinceSizingIsNeverReadBeyondTheLists)
{
    ScratchDir dir;
    const std::string path = dir.file("r.txt");
    write_file(path, "1,0,1,2,\n2,0,1,3,\n");
    const Sized s = size_report(path);
    ASSERT_EQ(s.error[0], 0);
    write_file(path, "1,0,4,2,3,4,5,\n2,0,1,3,\n");
    const Read r = read_report(path, s.records, s.total);
    EXPECT_EQ(r.error[0], 12);
    EXPECT_EQ(r.error[1], 0);
    EXPECT_EQ(r.recs, (std::vector<int>{0, 0, unset}));
    EXPECT_EQ(r.vars, (std::vector<int>{1, 2, unset}));
}

}  // namespace

namespace {

TEST(ReadRep, NullCountsAndListsAreRefusedWithTheirArgumentNumber)
{
    ScratchDir dir;
    write_file(dir.file("r.txt"), "1,0,1,3,\n");
    int records = 1, total = 1;
    std::vector<int> recs(2, unset), vars(2, unset);
    for (int argument : {3, 4, 5, 6}) {
        auto given = [argument](int number, int* pointer) { return number == argument ? nullptr : pointer; };
        int error[2] = {55, 55};
        testing::internal::CaptureStdout();
        read_rep(dir.file("r.txt").c_str(), 1, given(3, &records), given(4, &total), given(5, recs.data()),
                 given(6, vars.data()), error);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << argument;
        EXPECT_EQ(error[0], KEST_ERR_NULL_ARGUMENT) << argument;
        EXPECT_EQ(error[1], argument);
        EXPECT_EQ(recs, std::vector<int>(2, unset));
        EXPECT_EQ(vars, std::vector<int>(2, unset));
    }
    // Sizing needs no lists, but its counts.
    int error[2] = {55, 55};
    read_rep(dir.file("r.txt").c_str(), 0, &records, nullptr, nullptr, nullptr, error);
    EXPECT_EQ(error[0], KEST_ERR_NULL_ARGUMENT);
    EXPECT_EQ(error[1], 4);
    // A null path is a file that cannot be opened; a null ErrorPair makes
    // the call return.
    read_rep(nullptr, 0, &records, &total, nullptr, nullptr, error);
    EXPECT_EQ(error[0], 1);
    EXPECT_EQ(error[1], 1);
    testing::internal::CaptureStdout();
    read_rep(dir.file("r.txt").c_str(), 1, &records, &total, recs.data(), vars.data(), nullptr);
    testing::internal::GetCapturedStdout();
}

TEST(ReadRep, UnreadableAndTruncatedFiles)
{
    ScratchDir dir;
    // A file cut inside its last entry: the header promises two.
    write_file(dir.file("cut.txt"), "1,0,2,3,");
    const Read cut = read_report(dir.file("cut.txt"), 1, 2);
    EXPECT_EQ(cut.error[0], 1);
    EXPECT_EQ(cut.error[1], 0);
    EXPECT_EQ(cut.recs, (std::vector<int>{0, unset, unset}));
    write_file(dir.file("r.txt"), "1,0,1,3,\n");
    if (!make_unreadable(dir.file("r.txt"))) GTEST_SKIP() << "running as root: a file without permissions is read";
    const Sized s = size_report(dir.file("r.txt"));
    EXPECT_EQ(s.error[0], 1);
    EXPECT_EQ(s.error[1], 1);
    EXPECT_EQ(s.records, unset);
}

}  // namespace
