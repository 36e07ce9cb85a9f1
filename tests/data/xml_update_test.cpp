// The writer: a change list merged into the data file, which is replaced
// only when the new one is complete.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "data_set_text.h"
#include "kest.h"
#include "test_files.h"

namespace {

using namespace kest_test;
using Pair = std::array<int, 2>;

constexpr double M = -999.0;

struct Change {
    int record, variable;
    double value;
};

struct DataSet {
    const ScratchDir& dir;
    std::string data_path, schema_path, xsl_path;
    DataSet(const ScratchDir& d, const std::vector<Variable>& vars, const std::vector<std::string>& records,
            const std::string& dataset = "D")
        : dir(d), data_path(d.file("d.xml")), schema_path(d.file("d.xdr")), xsl_path(d.file("d.xsl"))
    {
        write_file(schema_path, schema_text(dataset, static_cast<long>(records.size()), vars));
        write_file(data_path, data_text(xsl_path, schema_path, records));
    }

    Pair update(int num_obs, int num_vars, int mode, const std::vector<Change>& changes) const
    {
        std::vector<int> recs, vars;
        std::vector<double> vals;
        for (const Change& c : changes) {
            recs.push_back(c.record);
            vars.push_back(c.variable);
            vals.push_back(c.value);
        }
        recs.push_back(-1);
        vars.push_back(-1);
        vals.push_back(0.0);
        Pair error = {-77, -77};
        xml_update(data_path.c_str(), schema_path.c_str(), xsl_path.c_str(), M, num_obs, num_vars, mode,
                   static_cast<int>(changes.size()), recs.data(), vars.data(), vals.data(), error.data());
        return error;
    }

    // Values read with status limit 5 (or the given one).
    std::vector<double> values(int num_obs, int num_vars, int limit = 5) const
    {
        std::vector<double> data(static_cast<std::size_t>(num_obs * num_vars), 0.0);
        std::vector<std::vector<char>> buffers(static_cast<std::size_t>(num_vars), std::vector<char>(64));
        std::vector<char*> names;
        for (auto& b : buffers) names.push_back(b.data());
        std::vector<int> ncat(static_cast<std::size_t>(num_vars)), codes(static_cast<std::size_t>(num_vars) * 8);
        int n_missing = 0;
        Pair error = {-77, -77};
        xml_read(data_path.c_str(), schema_path.c_str(), M, num_obs, num_vars, data.data(), names.data(), ncat.data(),
                 codes.data(), 8, limit, &n_missing, error.data());
        EXPECT_EQ(error, (Pair{0, 0}));
        return data;
    }

    std::string file_with(const std::vector<std::string>& records) const
    {
        return data_text(xsl_path, schema_path, records);
    }
};

// Names that occur nowhere on a record line before their own element.
const std::vector<Variable> five = {{"v1"}, {"v2"}, {"v3"}, {"v4"}, {"v5"}};

TEST(XmlUpdateTest, ImputedValuesInTheWritersNumberForms)
{
    ScratchDir dir;
    const std::string old_record = record_line(
        "D", cell("v1", "Valid", "1") + cell("v2", "Valid", "1") + cell("v3", "Missing", " ") + cell("v4", "Valid", "1") +
                 cell("v5", "Valid", "1"));
    const DataSet set(dir, five, {old_record, old_record});
    ASSERT_EQ(set.update(2, 5, 1, {{0, 0, 2.0}, {0, 1, 1.5}, {0, 2, 0.125}, {0, 3, 5e9}, {0, 4, -0.5}, {1, 1, M}}),
              (Pair{0, 0}));
    EXPECT_EQ(read_file(set.data_path),
              set.file_with({record_line("D", cell("v1", "Imputed", "2") + cell("v2", "Imputed", "1.50") +
                                                  cell("v3", "Imputed", "0.125000") +
                                                  cell("v4", "Imputed", "5000000000.000000") +
                                                  cell("v5", "Imputed", "-0.50")),
                             record_line("D", cell("v1", "Valid", "1") + missing_cell("v2") + missing_cell("v3") +
                                                  cell("v4", "Valid", "1") + cell("v5", "Valid", "1"))}));
    EXPECT_EQ(set.values(2, 5, 2), (std::vector<double>{2, 1.5, 0.125, 5e9, -0.5, 1, M, M, 1, 1}));
    EXPECT_EQ(set.values(2, 5, 1), (std::vector<double>{M, M, M, M, M, 1, M, M, 1, 1}));
}

TEST(XmlUpdateTest, FlaggingModesKeepTheValues)
{
    struct Case {
        int mode;
        const char* status;
    };
    for (const Case& c : {Case{2, "Suspect"}, Case{3, "Error"}, Case{4, "Missing"}}) {
        ScratchDir dir;
        const DataSet set(dir, {{"x"}, {"y"}},
                          {record_line("D", cell("x", "Valid", "12") + cell("y", "Validn", "-0.25")),
                           record_line("D", cell("x", "Imputed", "3.5") + missing_cell("y"))});
        ASSERT_EQ(set.update(2, 2, c.mode, {{0, 0, 77}, {0, 1, 77}, {1, 1, 77}}), (Pair{0, 0})) << c.mode;
        EXPECT_EQ(read_file(set.data_path),
                  set.file_with({record_line("D", cell("x", c.status, "12") + cell("y", c.status, "-0.25")),
                                 record_line("D", cell("x", "Imputed", "3.50") + missing_cell("y"))}))
            << c.mode;
        const auto values = set.values(2, 2);
        const std::vector<double> expected =
            c.mode == 4 ? std::vector<double>{M, M, 3.5, M} : std::vector<double>{12, -0.25, 3.5, M};
        EXPECT_EQ(values, expected) << c.mode;
    }
}

TEST(XmlUpdateTest, EmptyChangeListRewritesEveryCellInTheWritersForm)
{
    ScratchDir dir;
    const DataSet set(
        dir, five,
        {record_line("D", cell("v1", "Valid", "1.5e3") + cell("v2", "Validn", "-007") + cell("v3", "Imputed", "0.10") +
                              cell("v4", "Suspect", "  4") + cell("v5", "Error", "2.25")),
         record_line("D", "<v1 Status='Valid' Orig_val='3'>3</v1>" + cell("v2", "Missing", "12") + "<v3>5</v3>" +
                              cell("v4", "Valid", "n/a") + cell("v5", "Valid", "-999")),
         record_line("D", cell("v1", "Valid", "1e999") + cell("v2", "Validn", "nan5") + cell("v3", "Valid", "3000000000") +
                              cell("v4", "Valid", "0.1234567") + cell("v5", "Imputed", "-0"))});
    ASSERT_EQ(set.update(3, 5, 1, {}), (Pair{0, 0}));
    const std::string once = read_file(set.data_path);
    EXPECT_EQ(once, set.file_with(
                        {record_line("D", cell("v1", "Valid", "1500") + cell("v2", "Validn", "-7") +
                                              cell("v3", "Imputed", "0.10") + cell("v4", "Suspect", "4") +
                                              cell("v5", "Error", "2.25")),
                         record_line("D", cell("v1", "Valid", "3") + missing_cell("v2") + missing_cell("v3") +
                                              missing_cell("v4") + missing_cell("v5")),
                         record_line("D", missing_cell("v1") + missing_cell("v2") +
                                              cell("v3", "Valid", "3000000000.000000") +
                                              cell("v4", "Valid", "0.1234567") + cell("v5", "Imputed", "-0"))}));
    // A second rewrite changes nothing.
    ASSERT_EQ(set.update(3, 5, 2, {}), (Pair{0, 0}));
    EXPECT_EQ(read_file(set.data_path), once);
}

// Entries that cannot be applied are reported; the others are applied.
TEST(XmlUpdateTest, ChangeEntriesThatCannotBeApplied)
{
    struct Case {
        const char* what;
        std::vector<Change> changes;
        int num_obs;
        Pair error;
        std::vector<double> values;  // the two records afterwards
    };
    const Case cases[] = {
        {"all in order", {{0, 1, 10}, {1, 0, 20}}, 2, {0, 0}, {1, 10, 20, 4}},
        {"second entry before the first", {{1, 0, 20}, {0, 1, 10}}, 2, {-30, 1}, {1, 2, 20, 4}},
        {"repeated cell", {{0, 1, 10}, {0, 1, 11}}, 2, {-30, 1}, {1, 10, 3, 4}},
        {"beyond the last record", {{1, 1, 40}, {2, 0, 50}}, 2, {-30, 1}, {1, 2, 3, 40}},
        {"variable beyond the last", {{0, 2, 10}, {1, 0, 20}}, 2, {-30, 2}, {1, 2, 3, 4}},
        {"entries behind an unapplied one", {{1, 0, 20}, {0, 1, 10}, {1, 1, 40}}, 2, {-30, 2}, {1, 2, 20, 4}},
        {"records the file does not hold", {{0, 0, 10}, {2, 0, 30}, {3, 1, 40}}, 4, {-30, 2}, {10, 2, 3, 4}},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        const DataSet set(dir, {{"x"}, {"y"}},
                          {record_line("D", cell("x", "Valid", "1") + cell("y", "Valid", "2")),
                           record_line("D", cell("x", "Valid", "3") + cell("y", "Valid", "4"))});
        EXPECT_EQ(set.update(c.num_obs, 2, 1, c.changes), c.error) << c.what;
        EXPECT_EQ(set.values(2, 2), c.values) << c.what;
        // The file holds the records it held, and still ends with the root end tag.
        const auto lines = split_lines(read_file(set.data_path));
        EXPECT_EQ(lines.size(), 6u) << c.what;
        EXPECT_EQ(lines.back(), "</kest_data>") << c.what;
    }
}

// A refused update: the code, and the data file and its folder exactly as
// they were before the call.
struct Refusal {
    const char* what;
    std::string schema;  // empty: the schema file is absent
    std::vector<std::string> records;
    int num_obs, num_vars, mode;
    Pair error;
    bool without_root_end = false;
};

void expect_refused(const Refusal& c)
{
    ScratchDir dir;
    const DataSet set(dir, {{"x"}, {"y"}}, c.records);
    if (c.schema.empty()) std::filesystem::remove(set.schema_path);
    else write_file(set.schema_path, c.schema);
    std::string before = set.file_with(c.records);
    if (c.without_root_end) before.resize(before.size() - std::string("</kest_data>\n").size());
    write_file(set.data_path, before);
    const auto entries = dir.entries_but_locks();
    EXPECT_EQ(set.update(c.num_obs, c.num_vars, c.mode, {{0, 0, 9}}), c.error) << c.what;
    EXPECT_EQ(read_file(set.data_path), before) << c.what;
    EXPECT_EQ(dir.entries_but_locks(), entries) << c.what;  // no temporary file left
}

const std::string good_schema = schema_text("D", 3, {{"x"}, {"y"}});
const std::string long_name(KEST_MAX_NAME + 1, 'n');

std::string rec(const std::string& x, const std::string& y)
{
    return record_line("D", cell("x", "Valid", x) + cell("y", "Valid", y));
}

// Values whose writer's form would read back as another double, or be too
// long, keep their bits; those that need more than 19 characters are
// rounded with a warning, and values that are not finite become Missing.
TEST(XmlUpdateTest, ValueTextsThatKeepTheValue)
{
    struct Case {
        double value;
        std::string cell;  // of variable x
        Pair error;
    };
    const Case cases[] = {
        {0.0000004, cell("x", "Imputed", "4e-07"), {0, 0}},  // not 0.000000
        {0.0000123, cell("x", "Imputed", "1.23e-05"), {0, 0}},  // not 0.000012
        {2500000000000.0, cell("x", "Imputed", "2.5e+12"), {0, 0}},  // not 20 characters
        {1.79e308, cell("x", "Imputed", "1.79e+308"), {0, 0}},
        {-0.0, cell("x", "Imputed", "-0"), {0, 0}},
        {5e-324, cell("x", "Imputed", "5e-324"), {0, 0}},
        {-1.2345678901234567e-300, cell("x", "Imputed", "-1.23456789012e-300"), {KEST_WARN_VALUES_ROUNDED, 1}},
        {INFINITY, missing_cell("x"), {0, 0}},
        {-INFINITY, missing_cell("x"), {0, 0}},
        {NAN, missing_cell("x"), {0, 0}},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        const DataSet set(dir, {{"x"}, {"y"}}, {rec("1", "2")});
        EXPECT_EQ(set.update(1, 2, 1, {{0, 0, c.value}}), c.error) << c.value;
        EXPECT_EQ(read_file(set.data_path), set.file_with({record_line("D", c.cell + cell("y", "Valid", "2"))}))
            << c.value;
        const double read = set.values(1, 2)[0];
        if (!std::isfinite(c.value)) {
            EXPECT_EQ(read, M);
        } else if (c.error[0] == 0) {
            EXPECT_EQ(std::bit_cast<uint64_t>(read), std::bit_cast<uint64_t>(c.value)) << c.value;
        }
    }
    // Entries not applied outweigh rounded values.
    ScratchDir dir;
    const DataSet set(dir, {{"x"}, {"y"}}, {rec("1", "2")});
    EXPECT_EQ(set.update(1, 2, 1, {{0, 1, 1.2345678901234567e19}, {0, 0, 1}}), (Pair{KEST_WARN_CHANGES_NOT_APPLIED, 1}));
    EXPECT_EQ(read_file(set.data_path),
              set.file_with({record_line("D", cell("x", "Valid", "1") + cell("y", "Imputed", "1.2345678901235e+19"))}));
}

// Random doubles of every kind are imputed, the file is rewritten without
// changes and read: every value comes back bit for bit, except the ones
// whose shortest text is longer than 19 characters, which come back as
// their nearest text of 19 characters, and the rewrite changes no byte.
TEST(XmlUpdateTest, RandomValuesSurviveAWriteARewriteAndARead)
{
    constexpr int num_obs = 400, num_vars = 5;
    std::mt19937_64 random(8122026);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto draw = [&](int kind) -> double {
        const double sign = random() % 2 ? -1.0 : 1.0;
        switch (kind) {
        case 0: {
            double v;
            do v = std::bit_cast<double>(random()); while (!std::isfinite(v) || v == M);
            return v;
        }
        case 1: return sign * std::bit_cast<double>(random() % 0x0010000000000000ull);  // subnormal
        case 2: return sign * std::ldexp(1.0 + unit(random), static_cast<int>(random() % 60) - 40);
        case 3: return sign * static_cast<double>(random() % (1ull << 53)) * 1024.0;  // whole, beyond 2^31
        case 4: return sign * static_cast<double>(random() % 100000000000ull) / 100.0;  // two decimals
        case 5: return sign * (static_cast<double>(random() % 100000) / 100.0 + 1e-12 * unit(random));  // x100 not exact
        default: return sign * 1e-7 * unit(random);  // tiny rates
        }
    };
    std::vector<Change> changes;
    int expected_rounded = 0;
    for (int r = 0; r < num_obs; ++r)
        for (int j = 0; j < num_vars; ++j) {
            const double value = draw((r * num_vars + j) % 7);
            char shortest[64];
            if (std::to_chars(shortest, shortest + 64, value).ptr - shortest > KEST_MAX_VALUE_TEXT) ++expected_rounded;
            changes.push_back({r, j, value});
        }
    ASSERT_GT(expected_rounded, 0);
    ScratchDir dir;
    const std::string record = record_line("D", cell("v1", "Valid", "0") + cell("v2", "Valid", "0") +
                                                    cell("v3", "Valid", "0") + cell("v4", "Valid", "0") +
                                                    cell("v5", "Valid", "0"));
    const DataSet set(dir, five, std::vector<std::string>(num_obs, record));
    ASSERT_EQ(set.update(num_obs, num_vars, 1, changes), (Pair{KEST_WARN_VALUES_ROUNDED, expected_rounded}));
    const std::string written = read_file(set.data_path);
    const std::vector<double> first = set.values(num_obs, num_vars);
    for (std::size_t k = 0; k < changes.size(); ++k) {
        const double value = changes[k].value;
        char shortest[64];
        if (std::to_chars(shortest, shortest + 64, value).ptr - shortest > KEST_MAX_VALUE_TEXT)
            ASSERT_LE(std::fabs(first[k] - value), std::fabs(value) * 1e-11) << value;
        else
            ASSERT_EQ(std::bit_cast<uint64_t>(first[k]), std::bit_cast<uint64_t>(value)) << value;
    }
    ASSERT_EQ(set.update(num_obs, num_vars, 2, {}), (Pair{0, 0}));
    EXPECT_EQ(read_file(set.data_path), written);
    const std::vector<double> second = set.values(num_obs, num_vars);
    for (std::size_t k = 0; k < changes.size(); ++k)
        ASSERT_EQ(std::bit_cast<uint64_t>(second[k]), std::bit_cast<uint64_t>(first[k])) << changes[k].value;
}

TEST(XmlUpdateTest, FailuresLeaveTheDataFileAsItWas)
{
    const Refusal cases[] = {
        {"num_obs before the rest", good_schema, {rec("1", "2")}, 0, 0, 0, {5, 0}},
        {"num_vars", good_schema, {rec("1", "2")}, 1, -1, 0, {6, -1}},
        {"mode 0", good_schema, {rec("1", "2")}, 1, 2, 0, {8, 0}},
        {"mode 5", good_schema, {rec("1", "2")}, 1, 2, 5, {8, 5}},
        {"schema absent", "", {rec("1", "2")}, 1, 2, 1, {21, 2}},
        {"bad declaration", "<?xml?>\n<S>\n<ElementType name=\"x\" dt:type=\"r8\">\n", {rec("1", "2")}, 1, 2, 1, {21, 2}},
        {"no record line", schema_text("E", 1, {{"x"}, {"y"}}), {rec("1", "2")}, 1, 2, 1, {21, 1}},
        {"end tag missing in the third record", good_schema,
         {rec("1", "2"), rec("3", "4"), record_line("D", cell("x", "Valid", "5") + "<y Status='Valid'>6</x>")}, 3, 2, 1,
         {21, 1}},
        {"file ends after a record", good_schema, {rec("1", "2"), rec("3", "4")}, 3, 2, 1, {21, 1}, true},
        {"long variable name", schema_text("D", 1, {{"x"}, {long_name}}),
         {record_line("D", cell("x", "Valid", "1") + cell(long_name, "Valid", "2"))}, 1, 2, 1, {65, 1}},
        {"record type not ending in _rec", schema_text("D", 1, {{"x"}, {"y"}}).replace(
             schema_text("D", 1, {{"x"}, {"y"}}).find("D_rec\""), 6, "D_recs\""),
         {"<D_recs>" + cell("x", "Valid", "1") + cell("y", "Valid", "2") + "</D_recs>\n"}, 1, 2, 1, {2, 4}},
    };
    for (const Refusal& c : cases) expect_refused(c);

    ScratchDir dir;
    const DataSet set(dir, {{"x"}}, {});
    std::filesystem::remove(set.data_path);
    EXPECT_EQ(set.update(1, 1, 1, {}), (Pair{21, 1}));
    EXPECT_EQ(dir.entries_but_locks(), (std::vector<std::string>{"d.xdr"}));
}

// Lines and value texts outside the format make the current file unreadable;
// the writer reports that as 21 with the reader's code.
// Oversized input keeps its own code and names the line (line 5 is the
// second record, after the three header lines).
TEST(XmlUpdateTest, OversizedInputOfTheCurrentFileNamesTheLine)
{
    const Refusal cases[] = {
        {"long line in the second record", good_schema,
         {rec("1", "2"), record_line("D", cell("x", "Valid", "3") + cell("y", "Valid", "4") + std::string(KEST_MAX_LINE, ' '))},
         2, 2, 1, {KEST_ERR_LINE_TOO_LONG, 5}},
        {"long value text", good_schema, {rec("1", "2"), rec("1", std::string(20, '1'))}, 2, 2, 1,
         {KEST_ERR_VALUE_TOO_LONG, 5}},
    };
    for (const Refusal& c : cases) expect_refused(c);
}

// The current files are read before the names are judged, so a file with
// both faults reports the read fault.
TEST(XmlUpdateTest, CurrentFileFaultsComeBeforeNameChecks)
{
    std::string odd_record_type = schema_text("D", 2, {{"x"}, {"y"}});
    odd_record_type.replace(odd_record_type.find("D_rec\""), 6, "D_recs\"");
    const Refusal cases[] = {
        {"long name", schema_text("D", 2, {{"x"}, {long_name}}),
         {record_line("D", cell("x", "Valid", "1") + cell(long_name, "Valid", "2")),
          record_line("D", cell("x", "Valid", "1") + "<" + long_name + " Status='Valid'>2</x>")},
         2, 2, 1, {21, 1}},
        {"record type", odd_record_type,
         {"<D_recs>" + cell("x", "Valid", "1") + cell("y", "Valid", "2") + "</D_recs>\n",
          "<D_recs>" + cell("x", "Valid", "1") + "<y Status='Valid'>2</x></D_recs>\n"},
         2, 2, 1, {21, 1}},
    };
    for (const Refusal& c : cases) expect_refused(c);
}

// Names n000000000, n000000001, ... (ten characters).
std::vector<Variable> numbered(std::size_t count)
{
    std::vector<Variable> vars;
    for (std::size_t j = 0; j < count; ++j) {
        std::string name = std::to_string(1000000000 + j);
        name[0] = 'n';
        vars.emplace_back(name);
    }
    return vars;
}

// The writer refuses, before it writes anything, a data set whose record
// lines could grow beyond what the readers take once every cell is
// rewritten: 20 000 cells of ten-character names hold 820 000 characters
// as "1", but could need 1 200 000 as Imputed values of 19 characters.
// With 17 000 variables every line it can write fits.
TEST(XmlUpdateTest, LinesThatCouldOutgrowTheReadersAreRefused)
{
    for (const std::size_t count : {std::size_t{20000}, std::size_t{17000}}) {
        const std::vector<Variable> vars = numbered(count);
        std::string cells;
        for (const Variable& v : vars) cells += cell(v.name, "Valid", "1");
        ScratchDir dir;
        const DataSet set(dir, vars, {record_line("D", cells)});
        const std::string before = read_file(set.data_path);
        const auto entries = dir.entries_but_locks();
        const int n = static_cast<int>(count);
        const Pair error = set.update(1, n, 1, {{0, n - 1, -1.2345678901234567e-300}});
        if (count == 20000) {
            EXPECT_EQ(error, (Pair{KEST_ERR_LINE_TOO_LONG, 0}));
            EXPECT_EQ(read_file(set.data_path), before);
            EXPECT_EQ(dir.entries_but_locks(), entries);
        } else {
            EXPECT_EQ(error, (Pair{KEST_WARN_VALUES_ROUNDED, 1}));
            const std::vector<double> values = set.values(1, n);
            EXPECT_EQ(values.front(), 1.0);
            EXPECT_EQ(values.back(), -1.23456789012e-300);
        }
    }
}

// A survey of 1 000 variables with seven-character names: its record lines
// are far longer than 10 000 characters, and the converter's data set reads
// back before and after an update.
TEST(XmlUpdateTest, WideDataSetFromTheConverterReadsBackAfterAnUpdate)
{
    constexpr int num_vars = 1000, num_obs = 3;
    ScratchDir dir;
    std::vector<std::string> names;
    std::string text;
    std::vector<double> expected;
    for (int j = 0; j < num_vars; ++j) {
        names.push_back("v" + std::to_string(1000000 + j).substr(1));  // v000000, v000001, ...
    }
    for (int r = 0; r < num_obs; ++r) {
        for (int j = 0; j < num_vars; ++j) {
            const long whole = 1000000 * r + j;
            text += (j > 0 ? "," : "") + std::string("-") + std::to_string(whole) + ".125";
            expected.push_back(-(static_cast<double>(whole) + 0.125));
        }
        text += "\n";
    }
    write_file(dir.file("wide.txt"), text);
    std::vector<char*> name_ptrs;
    for (auto& n : names) name_ptrs.push_back(n.data());
    const std::vector<int> zeros(num_vars, 0);
    char dataset[] = "W";
    const std::string data_path = dir.file("d.xml"), xsl_path = dir.file("d.xsl"), schema_path = dir.file("d.xdr");
    Pair error = {-77, -77};
    data_conv(dataset, dir.file("wide.txt").c_str(), data_path.c_str(), xsl_path.c_str(), schema_path.c_str(), num_obs,
              num_vars, 2, -1e300, 0, name_ptrs.data(), zeros.data(), zeros.data(), zeros.data(), 1, error.data());
    ASSERT_EQ(error, (Pair{0, 0}));
    EXPECT_GT(split_lines(read_file(data_path))[3].size(), 30000u);

    int size_obs = 0, size_vars = 0, name_size = 0;
    xml_data_size(schema_path.c_str(), &size_obs, &size_vars, &name_size, error.data());
    ASSERT_EQ(error, (Pair{0, 0}));
    EXPECT_EQ(size_obs, num_obs);
    EXPECT_EQ(size_vars, num_vars);
    const auto read_all = [&] {
        std::vector<double> data(num_obs * num_vars);
        std::vector<int> ncat(num_vars), codes(num_vars);
        int n_missing = -1;
        Pair e = {-77, -77};
        xml_read(data_path.c_str(), schema_path.c_str(), M, num_obs, num_vars, data.data(), nullptr, ncat.data(),
                 codes.data(), 1, 5, &n_missing, e.data());
        EXPECT_EQ(e, (Pair{0, 0}));
        return data;
    };
    EXPECT_EQ(read_all(), expected);

    const int recs[] = {0, 2, -1}, vars[] = {3, num_vars - 1, -1};
    const double vals[] = {0.0000004, 2500000000000.0};
    xml_update(data_path.c_str(), schema_path.c_str(), xsl_path.c_str(), M, num_obs, num_vars, 1, 2, recs, vars,
               vals, error.data());
    ASSERT_EQ(error, (Pair{0, 0}));
    expected[3] = 0.0000004;
    expected.back() = 2500000000000.0;
    EXPECT_EQ(read_all(), expected);
}

TEST(XmlUpdateTest, ReplacementKeepsThePermissionsAndLeavesNothingBehind)
{
    ScratchDir dir;
    const DataSet set(dir, {{"x"}}, {record_line("D", cell("x", "Valid", "1"))});
#if !defined(_WIN32)  // Windows files have access rules instead of permission bits
    std::filesystem::permissions(set.data_path, std::filesystem::perms(0640));
#endif
    ASSERT_EQ(set.update(1, 1, 3, {{0, 0, 0}}), (Pair{0, 0}));
#if !defined(_WIN32)
    EXPECT_EQ(std::filesystem::status(set.data_path).permissions(), std::filesystem::perms(0640));
#endif
    EXPECT_EQ(dir.entries_but_locks(), (std::vector<std::string>{"d.xdr", "d.xml"}));
    EXPECT_EQ(read_file(set.data_path), set.file_with({record_line("D", cell("x", "Error", "1"))}));
}

// Convert, read, rewrite without changes, read again: every record,
// variable and status survives.
TEST(XmlUpdateTest, RoundTripFromTheConverter)
{
    ScratchDir dir;
    const std::string text = "id,score,group,weight\n"
                              "1,12.5,2,0.75\n"
                              "2,-3,1,\n"
                              "3,N/A,2,1.5e3\n"
                              "4,0,,2.125\n";
    write_file(dir.file("in.txt"), text);
    char dataset[] = "round trip";
    std::vector<std::string> names = {"id", "score", "group", "weight"};
    std::vector<char*> name_ptrs;
    for (auto& n : names) name_ptrs.push_back(n.data());
    const int flags[] = {0, 0, 2, 0};
    const int num_codes[] = {0, 0, 2, 0};
    const int table[] = {0, 0, 0, 0, 1, 2, 0, 0};
    Pair error = {-77, -77};
    const std::string data_path = dir.file("d.xml"), xsl_path = dir.file("d.xsl"), schema_path = dir.file("d.xdr");
    data_conv(dataset, dir.file("in.txt").c_str(), data_path.c_str(), xsl_path.c_str(), schema_path.c_str(), 4, 4, 2, 0.0,
              1, name_ptrs.data(), flags, num_codes, table, 2, error.data());
    ASSERT_EQ(error, (Pair{0, 0}));

    int num_obs = 0, num_vars = 0, name_size = 0;
    xml_data_size(schema_path.c_str(), &num_obs, &num_vars, &name_size, error.data());
    ASSERT_EQ(error, (Pair{0, 0}));
    ASSERT_EQ(num_obs, 4);
    ASSERT_EQ(num_vars, 4);
    EXPECT_EQ(name_size, static_cast<int>(std::string("round_trip_data").size()) + 1);

    const auto read_all = [&](int limit, int& n_missing) {
        std::vector<double> data(16, 0.0);
        char** list = nullptr;
        for (int j = 0; j < num_vars; ++j) EXPECT_NE(alloc_names(&list, num_vars, j, name_size), nullptr);
        std::vector<int> ncat(4), codes(4 * 3);
        Pair e = {-77, -77};
        xml_read(data_path.c_str(), schema_path.c_str(), M, num_obs, num_vars, data.data(), list, ncat.data(),
                 codes.data(), 3, limit, &n_missing, e.data());
        EXPECT_EQ(e, (Pair{0, 0}));
        EXPECT_EQ(std::string(list[2]), "group");
        EXPECT_EQ(ncat, (std::vector<int>{0, 0, 2, 0}));
        EXPECT_EQ(codes[6], 1);
        EXPECT_EQ(codes[7], 2);
        free_list(list, num_vars);
        return data;
    };
    int n_missing = 0;
    const std::vector<double> all = read_all(5, n_missing);
    EXPECT_EQ(all, (std::vector<double>{1, 12.5, 2, 0.75, 2, -3, 1, M, 3, M, 2, 1500, 4, 0, M, 2.125}));
    EXPECT_EQ(n_missing, 3);
    const std::vector<double> valid_only = read_all(-5, n_missing);
    EXPECT_EQ(valid_only, (std::vector<double>{1, 12.5, 2, 0.75, 2, M, 1, M, 3, M, 2, 1500, 4, 0, M, 2.125}));
    EXPECT_EQ(n_missing, 4);

    const int terminator[] = {-1};
    xml_update(data_path.c_str(), schema_path.c_str(), xsl_path.c_str(), M, num_obs, num_vars, 1, 0, terminator,
               terminator, nullptr, error.data());
    ASSERT_EQ(error, (Pair{0, 0}));
    EXPECT_EQ(read_all(5, n_missing), all);
    EXPECT_EQ(read_all(-5, n_missing), valid_only);
    const auto lines = split_lines(read_file(data_path));
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[4], "<round_trip_rec><id Status='Valid'>2</id><score Status='Validn'>-3</score>"
                        "<group Status='Valid'>1</group><weight Status='Missing'> </weight></round_trip_rec>");
    EXPECT_EQ(lines[6], "<round_trip_rec><id Status='Valid'>4</id><score Status='Valid'>0</score>"
                        "<group Status='Missing'> </group><weight Status='Valid'>2.125000</weight></round_trip_rec>");
}

}  // namespace

namespace {

TEST(XmlUpdateTest, NullChangeArrays)
{
    ScratchDir dir;
    const std::string old_record = record_line("D", cell("v1", "Valid", "1") + cell("v2", "Valid", "2") +
                                                        cell("v3", "Valid", "3") + cell("v4", "Valid", "4") +
                                                        cell("v5", "Valid", "5"));
    const DataSet set(dir, five, {old_record});
    const std::string before = read_file(set.data_path);
    const int recs[] = {0, -1};
    const int vars[] = {1, -1};
    // Mode 1 with a change list needs the values.
    Pair error = {-77, -77};
    xml_update(set.data_path.c_str(), set.schema_path.c_str(), set.xsl_path.c_str(), M, 1, 5, 1, 1, recs, vars,
               nullptr, error.data());
    EXPECT_EQ(error, (Pair{KEST_ERR_NULL_ARGUMENT, 11}));
    EXPECT_EQ(read_file(set.data_path), before);
    // A flagging mode does not read them.
    xml_update(set.data_path.c_str(), set.schema_path.c_str(), set.xsl_path.c_str(), M, 1, 5, 2, 1, recs, vars,
               nullptr, error.data());
    EXPECT_EQ(error, (Pair{0, 0}));
    EXPECT_EQ(set.values(1, 5), (std::vector<double>{1, 2, 3, 4, 5}));
    EXPECT_NE(read_file(set.data_path).find(cell("v2", "Suspect", "2")), std::string::npos);
    // Without records or variables the list is empty.
    xml_update(set.data_path.c_str(), set.schema_path.c_str(), set.xsl_path.c_str(), M, 1, 5, 1, 1, nullptr, vars,
               nullptr, error.data());
    EXPECT_EQ(error, (Pair{0, 0}));
    EXPECT_EQ(set.values(1, 5), (std::vector<double>{1, 2, 3, 4, 5}));
}

}  // namespace

namespace {

// The update of cell (0, 0) to 9 on a data file holding the given bytes:
// the code, with the file and its folder as they were.
Pair update_refused(const std::string& bytes)
{
    ScratchDir dir;
    const DataSet set(dir, {{"x"}, {"y"}}, {rec("1", "2"), rec("3", "4")});
    write_file(set.data_path, bytes);
    const auto entries = dir.entries_but_locks();
    const Pair error = set.update(2, 2, 1, {{0, 0, 9}});
    EXPECT_EQ(read_file(set.data_path), bytes);
    EXPECT_EQ(dir.entries_but_locks(), entries);
    return error;
}

TEST(XmlUpdateTest, EmptyTruncatedAndUnreadableDataFiles)
{
    ScratchDir dir;
    const DataSet set(dir, {{"x"}, {"y"}}, {rec("1", "2"), rec("3", "4")});
    const std::string full = read_file(set.data_path);
    EXPECT_EQ(update_refused(""), (Pair{21, 1}));
    // Cut inside the second record's second cell, and right after the first
    // record's line feed: either way the file ends before its records do.
    EXPECT_EQ(update_refused(full.substr(0, full.find(rec("3", "4")) + rec("3", "4").find("<y") + 4)), (Pair{21, 1}));
    EXPECT_EQ(update_refused(full.substr(0, full.find(rec("3", "4")))), (Pair{21, 1}));

    if (!make_unreadable(set.data_path)) GTEST_SKIP() << "running as root: a file without permissions is read";
    EXPECT_EQ(set.update(2, 2, 1, {{0, 0, 9}}), (Pair{21, 1}));
    ::chmod(set.data_path.c_str(), 0600);
    EXPECT_EQ(read_file(set.data_path), full);
    EXPECT_EQ(dir.entries_but_locks(), (std::vector<std::string>{"d.xdr", "d.xml"}));
}

}  // namespace
