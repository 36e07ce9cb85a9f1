// The reader: sizing a data set from its schema and reading its data file
// into the data matrix.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "data_set_text.h"
#include "kest.h"
#include "test_files.h"

namespace {

using namespace kest_test;
using Pair = std::array<int, 2>;

constexpr double M = -999.0;         // the missing code of these tests
constexpr double untouched = 4321.0; // what the matrix holds before a read

struct Sized {
    Pair error;
    int num_obs, num_vars, name_size;
};

Sized size_of(const std::string& schema_path)
{
    Sized s{{-77, -77}, -1, -1, -1};
    xml_data_size(schema_path.c_str(), &s.num_obs, &s.num_vars, &s.name_size, s.error.data());
    return s;
}

struct Read {
    Pair error = {-77, -77};
    std::vector<double> data;
    std::vector<std::string> names;
    std::vector<int> ncat;
    std::vector<int> codes;
    int n_missing = -1;
};

Read read_set(const std::string& data_path, const std::string& schema_path, int num_obs, int num_vars,
              int status_limit, int max_cats = 4)
{
    Read r;
    r.data.assign(static_cast<std::size_t>(std::max(num_obs, 1) * std::max(num_vars, 1)), untouched);
    std::vector<std::vector<char>> buffers(static_cast<std::size_t>(std::max(num_vars, 1)), std::vector<char>(64, '#'));
    std::vector<char*> names;
    for (auto& b : buffers) names.push_back(b.data());
    r.ncat.assign(buffers.size(), -1);
    r.codes.assign(buffers.size() * static_cast<std::size_t>(std::max(max_cats, 1)), -1);
    xml_read(data_path.c_str(), schema_path.c_str(), M, num_obs, num_vars, r.data.data(), names.data(), r.ncat.data(),
             r.codes.data(), max_cats, status_limit, &r.n_missing, r.error.data());
    for (auto& b : buffers) r.names.emplace_back(b.data(), strnlen(b.data(), b.size()));
    return r;
}

// A data set on disk: schema for the variables given and a data file of the
// record lines given.
struct DataSet {
    std::string data_path, schema_path;
    DataSet(const ScratchDir& dir, const std::vector<Variable>& vars, const std::vector<std::string>& records,
            long stated_obs = -1)
        : data_path(dir.file("d.xml")), schema_path(dir.file("d.xdr"))
    {
        write_file(schema_path, schema_text("D", stated_obs < 0 ? static_cast<long>(records.size()) : stated_obs, vars));
        write_file(data_path, data_text(dir.file("d.xsl"), schema_path, records));
    }
};

TEST(XmlDataSizeTest, ReportsObservationsVariablesAndNameSize)
{
    ScratchDir dir;
    const std::string path = dir.file("d.xdr");
    write_file(path, schema_text("survey", 1234, {{"age"}, {"sex", true, {1, 2}}, {"income"}}));
    const Sized s = size_of(path);
    EXPECT_EQ(s.error, (Pair{0, 0}));
    EXPECT_EQ(s.num_obs, 1234);
    EXPECT_EQ(s.num_vars, 3);
    EXPECT_EQ(s.name_size, 12);  // "survey_data" and its string end

    write_file(path, schema_text("D", 5, {{std::string(30, 'v')}, {"w"}}));
    const Sized t = size_of(path);
    EXPECT_EQ(t.error, (Pair{0, 0}));
    EXPECT_EQ(t.num_vars, 2);
    EXPECT_EQ(t.name_size, 31);
}

TEST(XmlDataSizeTest, FaultsOfTheSchema)
{
    const std::string head = "<?xml version=\"1.0\"?>\n<Schema>\n";
    const std::string decl = "<ElementType name=\"a\" content=\"textOnly\" dt:type=\"r8\" >\n</ElementType>\n";
    const std::string tail = "<ElementType name=\"D_rec\" content=\"eltOnly\">\n</ElementType>\n"
                             "<ElementType name=\"D_data\" content=\"eltOnly\">\n</ElementType>\n";
    struct Case {
        const char* what;
        std::string content;
        Pair error;
        int num_obs;
    };
    const Case cases[] = {
        {"well formed", head + "<?Number of observations = 7?>\n" + decl + tail, {0, 0}, 7},
        {"sign and blanks", head + "<?Number of observations =   -3?>\n" + decl + tail, {0, 0}, -3},
        {"19 characters", head + "<?Number of observations = " + std::string(18, ' ') + "5?>\n" + decl + tail, {0, 0}, 5},
        {"only the header lines", head, {1, 1}, -1},
        {"one line", "<?xml version=\"1.0\"?>\n", {2, 1}, -1},
        {"empty file", "", {2, 1}, -1},
        {"marker on line 2 does not count", "<?xml?>\n<?Number of observations = 7?>\n" + decl + tail, {1, 1}, -1},
        {"no ?>", head + "<?Number of observations = 7\n" + decl + tail, {1, 2}, -1},
        {"empty number", head + "<?Number of observations = ?>\n" + decl + tail, {1, 2}, -1},
        {"beyond int", head + "<?Number of observations = 2147483648?>\n" + decl + tail, {1, 2}, -1},
        {"20 characters", head + "<?Number of observations = " + std::string(19, ' ') + "5?>\n" + decl + tail, {62, 3}, -1},
        {"ends after the marker", head + "<?Number of observations = 7?>\n", {2, 1}, -1},
        {"no declaration", head + "<?Number of observations = 7?>\n</Schema>\n", {2, 1}, -1},
        {"ends after a declaration", head + "<?Number of observations = 7?>\n" + decl + tail +
                                         "<ElementType name=\"x\" content=\"eltOnly\">", {2, 1}, -1},
        {"no content", head + "<?Number of observations = 7?>\n<ElementType name=\"a\" dt:type=\"r8\" >\n" + tail, {2, 3}, -1},
        {"empty name", head + "<?Number of observations = 7?>\n<ElementType name=\"\" content=\"textOnly\" >\n" + tail, {2, 3}, -1},
        {"long line", head + "<?Number of observations = 7?>\n" + decl + std::string(KEST_MAX_LINE, ' ') + "\n" + tail, {61, 6}, -1},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        write_file(dir.file("s.xdr"), c.content);
        const Sized s = size_of(dir.file("s.xdr"));
        EXPECT_EQ(s.error, c.error) << c.what;
        if (c.num_obs != -1) {
            EXPECT_EQ(s.num_obs, c.num_obs) << c.what;
        }
    }
    ScratchDir dir;
    EXPECT_EQ(size_of(dir.file("absent.xdr")).error, (Pair{2, 0}));
}

// One record with a value of every status; the status limit decides which
// are read as values.
TEST(XmlReadTest, StatusLimitSelectsTheStatuses)
{
    ScratchDir dir;
    // Names that occur nowhere on the line before their own element.
    const std::vector<Variable> vars = {{"p0"}, {"p1"}, {"p2"}, {"p3"}, {"p4"}, {"p5"}, {"p6"}};
    const DataSet set(dir, vars,
                      {record_line("D", cell("p0", "Valid", "1") + cell("p1", "Validn", "2") + cell("p2", "Imputed", "3") +
                                            cell("p3", "Suspect", "4") + cell("p4", "Error", "5") +
                                            cell("p5", "Missing", "6") + "<p6>7</p6>")});
    struct Case {
        int limit;
        std::vector<double> row;
    };
    const Case cases[] = {
        {1, {1, M, M, M, M, M, M}},  {-1, {1, M, M, M, M, M, M}}, {2, {1, 2, 3, M, M, M, M}},
        {-2, {1, M, 3, M, M, M, M}}, {3, {1, 2, 3, 4, M, M, M}},  {-3, {1, M, 3, 4, M, M, M}},
        {4, {1, 2, 3, 4, 5, M, M}},  {-4, {1, M, 3, 4, 5, M, M}}, {100000, {1, 2, 3, 4, 5, M, M}},
        {-5, {1, M, 3, 4, 5, M, M}},
    };
    for (const Case& c : cases) {
        const Read r = read_set(set.data_path, set.schema_path, 1, 7, c.limit);
        ASSERT_EQ(r.error, (Pair{0, 0})) << "limit " << c.limit;
        EXPECT_EQ(r.data, c.row) << "limit " << c.limit;
        EXPECT_EQ(r.n_missing, static_cast<int>(std::count(c.row.begin(), c.row.end(), M))) << "limit " << c.limit;
    }
}

// Record lines of two variables x and y read with status limit 5.
TEST(XmlReadTest, ValueTextsAndRecordLines)
{
    struct Case {
        const char* what;
        std::vector<std::string> records;
        int num_obs;
        Pair error;
        std::vector<double> data;  // num_obs rows
        int n_missing;
    };
    const auto rec = [](const std::string& x, const std::string& y) {
        return record_line("D", cell("x", "Valid", x) + cell("y", "Valid", y));
    };
    const Case cases[] = {
        {"plain numbers", {rec("1.5", "-2"), rec("1e3", "  7")}, 2, {0, 0}, {1.5, -2, 1000, 7}, 0},
        {"no digit", {rec("abc", " "), rec(".", "-")}, 2, {0, 0}, {M, M, M, M}, 4},
        {"not finite", {rec("1e999", "nan5"), rec("-1e999", "12abc")}, 2, {0, 0}, {M, M, M, 12}, 3},
        {"missing with a number",
         {record_line("D", cell("x", "Missing", "12") + cell("y", "Valid", "3"))}, 1, {0, 0}, {M, 3}, 1},
        {"no status attribute", {record_line("D", "<x>5</x>" + cell("y", "Valid", "3"))}, 1, {0, 0}, {M, 3}, 1},
        {"other attributes", {record_line("D", "<x Status='Valid' Orig_val='9'>5</x><y Orig_val='1' Status='Error'>3</y>")},
         1, {0, 0}, {5, 3}, 0},
        {"value text of 19 characters", {rec(std::string(17, ' ') + "42", "1")}, 1, {0, 0}, {42, 1}, 0},
        {"value text of 20 characters", {rec("1", std::string(18, ' ') + "42")}, 1, {62, 4}, {1, untouched}, -1},
        {"value text of 20 characters in record 3", {rec("1", "2"), rec("1", "2"), rec("123456789.0123456789", "1")},
         3, {62, 6}, {1, 2, 1, 2, untouched, untouched}, -1},
        {"end tag missing", {record_line("D", cell("x", "Valid", "1") + "<y Status='Valid'>2</x>")}, 1, {1, 2},
         {1, untouched}, -1},
        {"element absent", {record_line("D", cell("x", "Valid", "1"))}, 1, {1, 2}, {1, untouched}, -1},
        {"no closing >", {"<D_rec><x Status='Valid'>1</x><y Status='Valid'\n"}, 1, {1, 2}, {1, untouched}, -1},
        {"record broken over two lines",
         {"<D_rec>" + cell("x", "Valid", "1") + "\n", cell("y", "Valid", "2") + "</D_rec>\n"}, 1, {1, 2},
         {1, untouched}, -1},
        {"indented record lines", {"  " + rec("1", "2")}, 1, {1, 1}, {untouched, untouched}, -1},
        {"fewer records, root end tag follows", {rec("1", "2")}, 3, {0, 0}, {1, 2, untouched, untouched, untouched, untouched}, 0},
        {"more records than asked for", {rec("1", "2"), rec("3", "4")}, 1, {0, 0}, {1, 2}, 0},
        {"long record line", {rec("1", "2"), record_line("D", cell("x", "Valid", "3") + cell("y", "Valid", "4") + std::string(KEST_MAX_LINE, ' '))},
         2, {61, 5}, {1, 2, untouched, untouched}, -1},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        const DataSet set(dir, {{"x"}, {"y"}}, c.records);
        const Read r = read_set(set.data_path, set.schema_path, c.num_obs, 2, 5);
        EXPECT_EQ(r.error, c.error) << c.what;
        EXPECT_EQ(r.data, c.data) << c.what;
        if (c.n_missing >= 0) {
            EXPECT_EQ(r.n_missing, c.n_missing) << c.what;
        }
    }
}

TEST(XmlReadTest, LongestRecordLineIsRead)
{
    ScratchDir dir;
    std::string line = record_line("D", cell("x", "Valid", "1") + cell("y", "Valid", "2"));
    line.insert(line.size() - 1, std::string(KEST_MAX_LINE - line.size(), ' '));  // KEST_MAX_LINE - 1 characters and the feed
    ASSERT_EQ(line.size(), static_cast<std::size_t>(KEST_MAX_LINE));
    const DataSet set(dir, {{"x"}, {"y"}}, {line});
    const Read r = read_set(set.data_path, set.schema_path, 1, 2, 1);
    EXPECT_EQ(r.error, (Pair{0, 0}));
    EXPECT_EQ(r.data, (std::vector<double>{1, 2}));
}

TEST(XmlReadTest, DataFileEndingRightAfterARecordLine)
{
    ScratchDir dir;
    const DataSet set(dir, {{"x"}}, {});
    write_file(set.data_path, data_head("d.xsl", set.schema_path) + record_line("D", cell("x", "Valid", "1")));
    EXPECT_EQ(read_set(set.data_path, set.schema_path, 2, 1, 1).error, (Pair{1, 1}));
    const Read one = read_set(set.data_path, set.schema_path, 1, 1, 1);
    EXPECT_EQ(one.error, (Pair{0, 0}));
    EXPECT_EQ(one.data, (std::vector<double>{1}));
}

TEST(XmlReadTest, NamesAndCategoryCodes)
{
    ScratchDir dir;
    const DataSet set(dir, {{"age"}, {"sex", true, {1, 2, 5}}, {"none", true, {}}, {"neg", true, {-3, 40}}},
                      {record_line("D", cell("age", "Valid", "30") + cell("sex", "Valid", "2") +
                                            missing_cell("none") + cell("neg", "Valid", "-3"))});
    const Read r = read_set(set.data_path, set.schema_path, 1, 4, 1, 3);
    ASSERT_EQ(r.error, (Pair{0, 0}));
    EXPECT_EQ(r.names, (std::vector<std::string>{"age", "sex", "none", "neg"}));
    EXPECT_EQ(r.ncat, (std::vector<int>{0, 3, 0, 2}));
    EXPECT_EQ(r.codes[3], 1);
    EXPECT_EQ(r.codes[4], 2);
    EXPECT_EQ(r.codes[5], 5);
    EXPECT_EQ(r.codes[9], -3);
    EXPECT_EQ(r.codes[10], 40);
    EXPECT_EQ(r.data, (std::vector<double>{30, 2, M, -3}));
    EXPECT_EQ(r.n_missing, 1);

    // Five codes do not fit four columns; the first four are stored.
    const DataSet five(dir, {{"a"}, {"c", true, {1, 2, 3, 4, 5}}}, {record_line("D", cell("a", "Valid", "1") + cell("c", "Valid", "1"))});
    const Read f = read_set(five.data_path, five.schema_path, 1, 2, 1, 4);
    EXPECT_EQ(f.error, (Pair{10, 4}));
    EXPECT_EQ(std::vector<int>(f.codes.begin() + 4, f.codes.end()), (std::vector<int>{1, 2, 3, 4}));
}

TEST(XmlReadTest, CodesInTheirOrder)
{
    const std::string decl_a = "<ElementType name=\"a\" content=\"textOnly\" dt:type=\"r8\" >\n";
    const std::string rec_type = "<ElementType name=\"D_rec\" content=\"eltOnly\">\n";
    const std::string head = "<?xml version=\"1.0\"?>\n<Schema>\n<?Number of observations = 1?>\n";
    struct Case {
        const char* what;
        std::string schema;  // empty: the schema file is absent
        bool data_present;
        int num_obs, num_vars, limit;
        Pair error;
    };
    const std::string good = schema_text("D", 1, {{"a"}});
    const Case cases[] = {
        {"data file absent first", "", false, 0, 0, 0, {1, 0}},
        {"schema absent", "", true, 0, 0, 0, {2, 0}},
        {"num_obs", good, true, 0, 0, 0, {4, 0}},
        {"num_obs negative", good, true, -2, 1, 1, {4, -2}},
        {"num_vars", good, true, 1, 0, 0, {5, 0}},
        {"status limit", good, true, 1, 1, 0, {11, 0}},
        {"no <ElementType line", head, true, 1, 1, 1, {1, 1}},
        {"no declaration", head + "<ElementTypeX>\n", true, 1, 1, 1, {2, 1}},
        {"variable without content", head + "<ElementType name=\"a\" dt:type=\"r8\" >\n" + rec_type, true, 1, 1, 1, {2, 3}},
        {"variable with empty name", head + "<ElementType name=\"\" content=\"textOnly\" >\n" + rec_type, true, 1, 1, 1, {2, 3}},
        {"second variable absent", head + decl_a + rec_type, true, 1, 2, 1, {2, 4}},
        {"record type absent", head + decl_a, true, 1, 1, 1, {2, 4}},
        {"record type with empty name", head + decl_a + "<ElementType name=\"\" content=\"eltOnly\">\n", true, 1, 1, 1, {2, 4}},
        {"record type without content", head + decl_a + "<ElementType name=\"D_rec\">\n", true, 1, 1, 1, {2, 4}},
        {"no record line", schema_text("E", 1, {{"a"}}), true, 1, 1, 1, {1, 1}},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        if (!c.schema.empty()) write_file(dir.file("d.xdr"), c.schema);
        if (c.data_present)
            write_file(dir.file("d.xml"), data_text("d.xsl", "d.xdr", {record_line("D", cell("a", "Valid", "1"))}));
        const Read r = read_set(dir.file("d.xml"), dir.file("d.xdr"), c.num_obs, c.num_vars, c.limit);
        EXPECT_EQ(r.error, c.error) << c.what;
    }
}

}  // namespace

namespace {

TEST(XmlReadTest, NullArraysAreRefusedWithTheirArgumentNumber)
{
    ScratchDir dir;
    const DataSet set(dir, {{"a"}, {"b"}}, {record_line("D", cell("a", "Valid", "1") + cell("b", "Valid", "2"))});
    std::vector<double> data(2, untouched);
    std::vector<int> ncat(2), codes(8);
    int n_missing = -1;
    struct Case {
        bool data, ncat, codes, n_missing;
        int argument;
    };
    for (const Case& c : {Case{false, true, true, true, 6}, Case{true, false, true, true, 8},
                          Case{true, true, false, true, 9}, Case{true, true, true, false, 12}}) {
        Pair error = {-77, -77};
        xml_read(set.data_path.c_str(), set.schema_path.c_str(), M, 1, 2, c.data ? data.data() : nullptr, nullptr,
                 c.ncat ? ncat.data() : nullptr, c.codes ? codes.data() : nullptr, 4, 5,
                 c.n_missing ? &n_missing : nullptr, error.data());
        EXPECT_EQ(error, (Pair{KEST_ERR_NULL_ARGUMENT, c.argument}));
    }
    EXPECT_EQ(data, (std::vector<double>{untouched, untouched}));
    // The names may be left out; a null ErrorPair makes the call return.
    Pair error = {-77, -77};
    xml_read(set.data_path.c_str(), set.schema_path.c_str(), M, 1, 2, data.data(), nullptr, ncat.data(),
             codes.data(), 4, 5, &n_missing, error.data());
    EXPECT_EQ(error, (Pair{0, 0}));
    EXPECT_EQ(data, (std::vector<double>{1, 2}));
    xml_read(set.data_path.c_str(), set.schema_path.c_str(), M, 1, 2, data.data(), nullptr, ncat.data(),
             codes.data(), 4, 5, &n_missing, nullptr);
    xml_data_size(set.schema_path.c_str(), nullptr, nullptr, nullptr, nullptr);
}

}  // namespace

namespace {

TEST(XmlReadTest, EmptyTruncatedAndUnreadableFiles)
{
    ScratchDir dir;
    const std::string second = record_line("D", cell("x", "Valid", "3") + cell("y", "Valid", "4"));
    const std::string first = record_line("D", cell("x", "Valid", "1") + cell("y", "Valid", "2"));
    const DataSet set(dir, {{"x"}, {"y"}}, {first, second});
    const std::string data = read_file(set.data_path);
    const std::string schema = read_file(set.schema_path);

    // An empty data file has no record line; an empty schema has too few
    // lines for the sizing and no "<ElementType" line for the reader.
    write_file(set.data_path, "");
    EXPECT_EQ(read_set(set.data_path, set.schema_path, 2, 2, 1).error, (Pair{1, 1}));
    write_file(set.data_path, data);
    write_file(set.schema_path, "");
    EXPECT_EQ(size_of(set.schema_path).error, (Pair{2, 1}));
    EXPECT_EQ(read_set(set.data_path, set.schema_path, 2, 2, 1).error, (Pair{1, 1}));

    // A schema cut inside its observations line; a data file cut inside the
    // second record's second cell, whose element then has no ">".
    write_file(set.schema_path, schema.substr(0, schema.find("<?Number of observations = ") + 20));
    EXPECT_EQ(size_of(set.schema_path).error.front(), 1);
    write_file(set.schema_path, schema);
    write_file(set.data_path, data.substr(0, data.find(second) + second.find("<y") + 4));
    const Read cut = read_set(set.data_path, set.schema_path, 2, 2, 1);
    EXPECT_EQ(cut.error, (Pair{1, 2}));
    EXPECT_EQ(cut.data, (std::vector<double>{1, 2, 3, untouched}));

    write_file(set.data_path, data);
    if (!make_unreadable(set.data_path)) GTEST_SKIP() << "running as root: a file without permissions is read";
    EXPECT_EQ(read_set(set.data_path, set.schema_path, 2, 2, 1).error, (Pair{1, 0}));
    make_unreadable(set.schema_path);
    EXPECT_EQ(size_of(set.schema_path).error, (Pair{2, 0}));
    EXPECT_EQ(read_set(dir.file("absent.xml"), set.schema_path, 2, 2, 1).error, (Pair{1, 0}));
    ::chmod(set.data_path.c_str(), 0600);
    EXPECT_EQ(read_set(set.data_path, set.schema_path, 2, 2, 1).error, (Pair{2, 0}));
}

TEST(XmlDataSizeTest, NullPathsAreFilesThatCannotBeOpened)
{
    ScratchDir dir;
    const DataSet set(dir, {{"x"}}, {record_line("D", cell("x", "Valid", "1"))});
    Sized s{{-77, -77}, -1, -1, -1};
    xml_data_size(nullptr, &s.num_obs, &s.num_vars, &s.name_size, s.error.data());
    EXPECT_EQ(s.error, (Pair{2, 0}));
    EXPECT_EQ(s.num_obs, -1);
    EXPECT_EQ(read_set(set.data_path, "", 1, 1, 1).error, (Pair{2, 0}));
    std::vector<double> data(1, untouched);
    std::vector<int> ncat(1), codes(4);
    int n_missing = -1;
    Pair error = {-77, -77};
    xml_read(nullptr, set.schema_path.c_str(), M, 1, 1, data.data(), nullptr, ncat.data(), codes.data(), 4, 5,
             &n_missing, error.data());
    EXPECT_EQ(error, (Pair{1, 0}));
    xml_read(set.data_path.c_str(), nullptr, M, 1, 1, data.data(), nullptr, ncat.data(), codes.data(), 4, 5,
             &n_missing, error.data());
    EXPECT_EQ(error, (Pair{2, 0}));
    EXPECT_EQ(data, std::vector<double>(1, untouched));
}

}  // namespace
