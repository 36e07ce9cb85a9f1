// The converter: a delimited text file becomes the data file, stylesheet
// and schema of a data set.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "data_set_text.h"
#include "kest.h"
#include "test_files.h"

namespace {

using namespace kest_test;

// One converter call with its arguments held as the host would hold them.
struct Conversion {
    std::string dataset = "D";
    std::vector<std::string> names = {"a", "b", "c"};
    std::vector<int> flags = {0, 0, 0};
    std::vector<int> num_codes = {0, 0, 0};
    std::vector<int> code_table = {0};
    int row_length = 1;
    int num_obs = 1;
    int delim_type = 2;
    double valid_floor = 0.0;
    int header_lines = 0;

    std::string text_path, data_path, xsl_path, schema_path;
    explicit Conversion(const ScratchDir& dir)
        : text_path(dir.file("in.txt")), data_path(dir.file("d.xml")), xsl_path(dir.file("d.xsl")),
          schema_path(dir.file("d.xdr"))
    {
    }

    std::array<int, 2> run(int num_vars = -1)
    {
        std::vector<char*> name_ptrs;
        for (std::string& n : names) name_ptrs.push_back(n.data());
        std::array<int, 2> error = {-77, -77};
        data_conv(dataset.data(), text_path.c_str(), data_path.c_str(), xsl_path.c_str(), schema_path.c_str(),
                  num_obs, num_vars < 0 ? static_cast<int>(names.size()) : num_vars, delim_type, valid_floor,
                  header_lines, name_ptrs.data(), flags.data(), num_codes.data(), code_table.data(), row_length,
                  error.data());
        return error;
    }
    std::array<int, 2> run_on(const std::string& text)
    {
        write_file(text_path, text);
        return run();
    }
    // The record lines of the data file (its fourth line on, without the root end tag).
    std::string records() const
    {
        const std::string data = read_file(data_path);
        const std::string head = data_head(xsl_path, schema_path);
        EXPECT_EQ(data.substr(0, head.size()), head);
        std::string body = data.substr(std::min(head.size(), data.size()));
        const std::string tail = "</kest_data>\n";
        if (body.size() >= tail.size() && body.substr(body.size() - tail.size()) == tail)
            body.resize(body.size() - tail.size());
        return body;
    }
};

using Pair = std::array<int, 2>;

std::string lead(int blanks, const std::string& text) { return std::string(blanks, ' ') + text + "\n"; }

// The stylesheet block of the variable numbered k (from 1) named name.
std::string variable_block(int k, const std::string& name)
{
    const std::string v = "v" + std::to_string(k);
    std::string s;
    s += lead(5, "<xsl:variable name=\"" + v + "\" select=\"gg:" + name + "/@Status\" />");
    s += lead(5, "<xsl:choose>");
    const std::array<std::pair<const char*, const char*>, 5> branches = {
        {{"Missing", "blue"}, {"Error", "red"}, {"Suspect", "yellow"}, {"Imputed", "lightgreen"}, {"Validn", "magenta"}}};
    for (const auto& [status, colour] : branches) {
        s += lead(9, "<xsl:when test=\"$" + v + "='" + status + "'\">");
        s += lead(14, std::string("<td bgcolor=\"") + colour + "\" align=\"center\">");
        if (std::string(status) == "Missing")
            s += "\t" + lead(13, "<xsl:value-of select=\"gg:" + name + "/@Status\" />");
        else
            s += "\t" + lead(13, "<xsl:value-of select=\"gg:" + name + "\" />");
        s += lead(14, "</td>");
        s += lead(9, "</xsl:when>");
    }
    s += lead(9, "<xsl:otherwise>");
    s += lead(14, "<td bgcolor=\"Lightblue\" align=\"center\">");
    s += "\t" + lead(13, "<xsl:value-of select=\"gg:" + name + "\" />");
    s += lead(15, "</td>");
    s += lead(9, "</xsl:otherwise>");
    s += lead(6, "</xsl:choose>");
    return s;
}

std::string stylesheet(const std::string& shown_name, const std::string& dataset, const std::vector<std::string>& names,
                       const std::string& data_path, const std::string& schema_path)
{
    std::string s;
    s += lead(0, "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" xmlns:gg=\"x-schema:" +
                     schema_path + "\">");
    s += lead(3, "<xsl:template match=\"/\">");
    s += lead(7, "<HTML>");
    s += lead(9, "<head>");
    s += lead(13, "<title>" + shown_name + " in xml</title>");
    s += lead(9, "</head>");
    s += lead(9, "<body>");
    s += lead(14, "<table cellpadding=\"20\" width=\"200px\">");
    s += lead(17, "<th colspan=\"3\" bgcolor=\"pink\"\tstyle=\"height:73px\" align=\"center\">" + shown_name + "</th>");
    s += lead(17, "<tr></tr>");
    s += lead(17, "<tr>");
    for (const std::string& n : names) s += lead(22, "<th bgcolor=\"cyan\">" + n + "</th>");
    s += lead(17, "</tr>");
    s += lead(17, "<xsl:apply-templates />");
    s += lead(14, "</table>");
    s += lead(9, "</body>");
    s += lead(10, "<epilog>");
    s += lead(9, "<footnote>");
    s += lead(9, "<a style=\"text-decoration: none\" href=\"" + data_path + "\">Full Data</a>");
    s += lead(9, "</footnote>");
    s += lead(9, "</epilog>");
    s += lead(4, "</HTML>");
    s += lead(3, "</xsl:template>");
    s += lead(3, "<xsl:template match=\"gg:" + dataset + "_data\">");
    s += lead(6, "<xsl:apply-templates select=\"gg:" + dataset + "_rec\" />");
    s += lead(3, "</xsl:template>");
    s += lead(3, "<xsl:template match=\"gg:" + dataset + "_rec\">");
    s += lead(3, "<tr>");
    for (std::size_t k = 0; k < names.size(); ++k) s += variable_block(static_cast<int>(k) + 1, names[k]);
    s += lead(2, "</tr>");
    s += "\t </xsl:template>\n";
    s += "</xsl:stylesheet>\n";
    return s;
}

void expect_same_lines(const std::string& actual, const std::string& expected)
{
    const auto a = split_lines(actual);
    const auto e = split_lines(expected);
    for (std::size_t i = 0; i < std::min(a.size(), e.size()); ++i) EXPECT_EQ(a[i], e[i]) << "line " << i + 1;
    EXPECT_EQ(a.size(), e.size());
    EXPECT_EQ(actual, expected);
}

TEST(DataConvTest, WritesTheThreeFilesOfASmallCase)
{
    ScratchDir dir;
    Conversion c(dir);
    c.dataset = "survey";
    c.names = {"age", "sex", "net income"};
    c.flags = {0, 2, 1};
    c.num_codes = {0, 3, 7};  // a flag of 1 declares the variable numeric whatever its count
    c.row_length = 3;
    c.code_table = {9, 9, 9, 1, 2, 5, 9, 9, 9};
    c.num_obs = 3;
    c.header_lines = 1;
    const Pair error = c.run_on("age,sex,net income\n34,1,52000.5\n-2,N/A,\n,2,1.5e3\n");
    ASSERT_EQ(error, (Pair{0, 0}));
    EXPECT_EQ(c.names[2], "net_income");

    const std::vector<std::string> names = {"age", "sex", "net_income"};
    expect_same_lines(read_file(c.xsl_path), stylesheet("survey", "survey", names, c.data_path, c.schema_path));
    expect_same_lines(read_file(c.schema_path),
                      "<?xml version=\"1.0\"?>\n"
                      "<Schema xmlns=\"urn:schemas-microsoft-com:xml-data\" xmlns:dt=\"urn:schemas-microsoft-com:datatypes\">\n"
                      "<?Number of observations = 3?>\n"
                      "<AttributeType name=\"Status\" dt:type=\"enumeration\" dt:values=\"Valid Missing Error Suspect Imputed\" />\n"
                      "<AttributeType name=\"Orig_val\" dt:type=\"string\" />\n"
                      "<ElementType name=\"age\" content=\"textOnly\" dt:type=\"r8\" >\n"
                      "<attribute type=\"Status\" />\n"
                      "<attribute type=\"Orig_val\" />\n"
                      "</ElementType>\n"
                      "<ElementType name=\"sex\" content=\"textOnly\" dt:type=\"enumeration\" dt:values=\"1 2 5 \">\n"
                      "<attribute type=\"Status\" />\n"
                      "<attribute type=\"Orig_val\" />\n"
                      "</ElementType>\n"
                      "<ElementType name=\"net_income\" content=\"textOnly\" dt:type=\"r8\" >\n"
                      "<attribute type=\"Status\" />\n"
                      "<attribute type=\"Orig_val\" />\n"
                      "</ElementType>\n"
                      "<ElementType name=\"survey_rec\" content=\"eltOnly\">\n"
                      " <element type=\"age\"/>\n"
                      " <element type=\"sex\"/>\n"
                      " <element type=\"net_income\"/>\n"
                      "</ElementType>\n"
                      "<ElementType name=\"survey_data\" content=\"eltOnly\">\n"
                      "   <element type=\"survey_rec\"/>\n"
                      "</ElementType>\n"
                      "</Schema>\n");
    expect_same_lines(
        read_file(c.data_path),
        "<?xml version='1.0'?>\n"
        "<?xml-stylesheet type=\"text/xsl\" href=\"" + c.xsl_path + "\"?>\n"
        "<kest_data xmlns=\"x-schema:" + c.schema_path + "\">\n"
        "<survey_rec><age Status='Valid'>34</age><sex Status='Valid'>1</sex><net_income Status='Valid'>52000.5</net_income></survey_rec>\n"
        "<survey_rec><age Status='Validn'>-2</age><sex Status='Missing'> </sex><net_income Status='Missing'> </net_income></survey_rec>\n"
        "<survey_rec><age Status='Missing'> </age><sex Status='Valid'>2</sex><net_income Status='Valid'>1.5e3</net_income></survey_rec>\n"
        "</kest_data>\n");
}

TEST(DataConvTest, DatasetNameIsShownAsGivenAndReplacedInElementNames)
{
    ScratchDir dir;
    Conversion c(dir);
    c.dataset = "my data's";
    c.names = {"x y"};
    c.flags = {0};
    c.num_codes = {0};
    ASSERT_EQ(c.run_on("5\n"), (Pair{0, 0}));
    EXPECT_EQ(c.dataset, "my_data_s");
    EXPECT_EQ(c.names[0], "x_y");
    expect_same_lines(read_file(c.xsl_path), stylesheet("my data's", "my_data_s", {"x_y"}, c.data_path, c.schema_path));
    EXPECT_EQ(c.records(), "<my_data_s_rec><x_y Status='Valid'>5</x_y></my_data_s_rec>\n");
    const std::string schema = read_file(c.schema_path);
    EXPECT_NE(schema.find("<ElementType name=\"my_data_s_rec\" content=\"eltOnly\">\n"), std::string::npos);
    EXPECT_NE(schema.find("   <element type=\"my_data_s_rec\"/>\n"), std::string::npos);
}

// Record texts and the record lines they become (three variables a, b, c,
// valid floor 0).
TEST(DataConvTest, FieldsBecomeCells)
{
    struct Case {
        int delim_type;
        std::string line;
        std::string cells;
    };
    const Case cases[] = {
        {0, "  1   2 3\n", cell("a", "Valid", "1") + cell("b", "Valid", "2") + cell("c", "Valid", "3")},
        {2, "1,,3\n", cell("a", "Valid", "1") + missing_cell("b") + cell("c", "Valid", "3")},
        {1, "1\t\t3\n", cell("a", "Valid", "1") + missing_cell("b") + cell("c", "Valid", "3")},
        {1, "\t2\t3\n", missing_cell("a") + cell("b", "Valid", "2") + cell("c", "Valid", "3")},
        {2, "1,2,3,\n", cell("a", "Valid", "1") + cell("b", "Valid", "2") + cell("c", "Valid", "3")},
        {2, "1,2,3,4,x\n", cell("a", "Valid", "1") + cell("b", "Valid", "2") + cell("c", "Valid", "3")},
        {2, "-5,0,-0.5\n", cell("a", "Validn", "-5") + cell("b", "Valid", "0") + cell("c", "Validn", "-0.5")},
        {2, "abc12,1.5e3,N/A\n", cell("a", "Valid", "12") + cell("b", "Valid", "1.5e3") + missing_cell("c")},
        {2, " 7 x,.5,word\n", cell("a", "Valid", "7") + cell("b", "Valid", ".5") + missing_cell("c")},
        {2, "1,2,3\r\n", cell("a", "Valid", "1") + cell("b", "Valid", "2") + cell("c", "Valid", "3")},
        {2, "1,2,\r\n", cell("a", "Valid", "1") + cell("b", "Valid", "2") + missing_cell("c")},
        {2, "1,2,3", cell("a", "Valid", "1") + cell("b", "Valid", "2") + cell("c", "Valid", "3")},
        {2, "1,\"2\",3\n", cell("a", "Valid", "1") + cell("b", "Valid", "2\"") + cell("c", "Valid", "3")},
        {2, "12345678901234,1,1234567890123\n",
         cell("a", "Valid", "12345678901234") + cell("b", "Valid", "1") + cell("c", "Valid", "1234567890123")},
    };
    for (const Case& k : cases) {
        ScratchDir dir;
        Conversion c(dir);
        c.delim_type = k.delim_type;
        ASSERT_EQ(c.run_on(k.line), (Pair{0, 0})) << k.line;
        EXPECT_EQ(c.records(), record_line("D", k.cells)) << k.line;
    }
}

TEST(DataConvTest, RefusedRecords)
{
    struct Case {
        std::string text;
        int num_obs;
        int header_lines;
        Pair error;
    };
    const std::string longest_line = "1" + std::string(KEST_MAX_LINE - 5, ' ') + "2 3\n";
    const Case cases[] = {
        {"1,2,3\n", 2, 0, {51, 2}},                  // the text ends before num_obs records
        {"h\n1,2,3\n1,2\n", 2, 1, {51, 2}},          // too few fields
        {"1,\"2,3\n", 1, 0, {51, 1}},                // unclosed quote
        {"1,2,3\n", 1, 2, {10, 2}},                  // the header lines run out
        {"h\n123456789012345,1,2\n", 1, 1, {63, 2}}, // a field of 15 characters
        {"1,2,12345678901234\n", 1, 0, {63, 1}},     // the last field counted with its line feed
        {"1,2,3\n" + std::string(KEST_MAX_LINE, 'x') + "\n", 2, 0, {61, 2}},
        {std::string(KEST_MAX_LINE, 'x') + "\n1,2,3\n", 1, 1, {61, 1}},
    };
    for (const Case& k : cases) {
        ScratchDir dir;
        Conversion c(dir);
        c.num_obs = k.num_obs;
        c.header_lines = k.header_lines;
        EXPECT_EQ(c.run_on(k.text), k.error) << k.text.substr(0, 40);
    }
    // The longest line that fits is converted.
    ScratchDir dir;
    Conversion c(dir);
    c.delim_type = 0;
    ASSERT_EQ(longest_line.size(), static_cast<std::size_t>(KEST_MAX_LINE));  // KEST_MAX_LINE - 1 characters and the line feed
    EXPECT_EQ(c.run_on(longest_line), (Pair{0, 0}));
    EXPECT_EQ(c.records(),
              record_line("D", cell("a", "Valid", "1") + cell("b", "Valid", "2") + cell("c", "Valid", "3")));
}

// Category codes 1 (two characters with its blank) and at most one 10, so
// that a declaration's code list is exactly length characters long.
std::vector<int> codes_of_length(std::size_t length)
{
    std::vector<int> codes(length % 2 == 0 ? length / 2 : (length - 3) / 2, 1);
    if (length % 2 != 0) codes.push_back(10);
    return codes;
}

// Lines the readers could not take back are refused before any file is
// touched (the text file is absent, so any later check would fail); the
// longest schema line the readers take is written and read back.
TEST(DataConvTest, LinesBeyondTheReadersLimitAreRefusedBeforeAnyFile)
{
    const std::string declaration_head = "<ElementType name=\"z\" content=\"textOnly\" dt:type=\"enumeration\" dt:values=\"";
    const std::size_t longest_list = KEST_MAX_LINE - 1 - declaration_head.size() - std::string("\">").size();
    struct Case {
        const char* what;
        std::size_t num_vars;  // named v00000, v00001, ...; 0: x, y and z
        std::size_t dataset_length;
        std::size_t code_list_length;  // of variable z
        Pair error;
    };
    const Case cases[] = {
        {"records of 40 000 variables", 40000, 1, 0, {KEST_ERR_LINE_TOO_LONG, 0}},
        {"the dataset name", 0, KEST_MAX_LINE, 0, {KEST_ERR_LINE_TOO_LONG, 0}},
        {"a code list one character too long", 0, 1, longest_list + 1, {KEST_ERR_LINE_TOO_LONG, 0}},
        {"the longest code list", 0, 1, longest_list, {0, 0}},
    };
    for (const Case& k : cases) {
        ScratchDir dir;
        Conversion c(dir);
        c.dataset = std::string(k.dataset_length, 'D');
        c.names = {"x", "y", "z"};  // not in the record tag D_rec, so they read back
        for (std::size_t j = 0; j < k.num_vars; ++j) {
            std::string name = std::to_string(100000 + j);  // v00000 for j = 0
            name[0] = 'v';
            c.names.push_back(name);
        }
        if (k.num_vars > 0) c.names.erase(c.names.begin(), c.names.begin() + 3);
        const std::size_t n = c.names.size();
        c.flags.assign(n, 0);
        c.num_codes.assign(n, 0);
        std::vector<int> codes;
        if (k.code_list_length > 0) {
            codes = codes_of_length(k.code_list_length);
            c.flags[2] = 2;
            c.num_codes[2] = static_cast<int>(codes.size());
            c.row_length = static_cast<int>(codes.size());
            c.code_table.assign(3 * codes.size(), 0);
            std::copy(codes.begin(), codes.end(), c.code_table.begin() + static_cast<std::ptrdiff_t>(2 * codes.size()));
        }
        if (k.error[0] != 0) {
            EXPECT_EQ(c.run(), k.error) << k.what;
            EXPECT_TRUE(dir.entries().empty()) << k.what;
            continue;
        }
        ASSERT_EQ(c.run_on("1,2,10\n"), k.error) << k.what;
        const auto schema_lines = split_lines(read_file(c.schema_path));
        EXPECT_EQ(schema_lines[13].size(), static_cast<std::size_t>(KEST_MAX_LINE - 1)) << k.what;
        int num_obs = 0, num_vars = 0, name_size = 0;
        Pair error = {-77, -77};
        xml_data_size(c.schema_path.c_str(), &num_obs, &num_vars, &name_size, error.data());
        ASSERT_EQ(error, (Pair{0, 0}));
        std::vector<double> data(3);
        std::vector<int> ncat(3), table(3 * codes.size());
        int n_missing = -1;
        xml_read(c.data_path.c_str(), c.schema_path.c_str(), -1.0, 1, 3, data.data(), nullptr, ncat.data(),
                 table.data(), static_cast<int>(codes.size()), 5, &n_missing, error.data());
        ASSERT_EQ(error, (Pair{0, 0}));
        EXPECT_EQ(data, (std::vector<double>{1, 2, 10}));
        EXPECT_EQ(ncat, (std::vector<int>{0, 0, static_cast<int>(codes.size())}));
        EXPECT_TRUE(std::equal(codes.begin(), codes.end(), table.begin() + static_cast<std::ptrdiff_t>(2 * codes.size())));
    }
}

// A record refused part way stays in the data file as far as it was
// converted, after every record before it, whatever refuses it.
TEST(DataConvTest, RecordsBeforeARefusalStayInTheDataFile)
{
    const std::string first =
        record_line("D", cell("a", "Valid", "4") + cell("b", "Valid", "5") + cell("c", "Valid", "6"));
    struct Case {
        std::string second_line;
        Pair error;
        std::string left;  // the data file's text after the first record
    };
    const Case cases[] = {
        {"1,2\n", {51, 2}, "<D_rec>" + cell("a", "Valid", "1") + cell("b", "Valid", "2")},
        {"1,\"2,3\n", {51, 2}, ""},
        {"1,2,123456789012345\n", {63, 2}, ""},
        {std::string(KEST_MAX_LINE, 'x') + "\n", {61, 2}, ""},
    };
    for (const Case& k : cases) {
        ScratchDir dir;
        Conversion c(dir);
        c.num_obs = 2;
        ASSERT_EQ(c.run_on("4,5,6\n" + k.second_line), k.error) << k.second_line.substr(0, 30);
        EXPECT_EQ(read_file(c.data_path), data_head(c.xsl_path, c.schema_path) + first + k.left)
            << k.second_line.substr(0, 30);
    }
}

// The cell of a field as the converter defines it: Missing without a digit,
// otherwise the text from the first minus sign, point or digit to the first
// blank or line feed after it, Validn when its value is below 0.
std::string model_cell(const std::string& name, const std::string& field)
{
    if (field.find_first_of("0123456789") == std::string::npos) return missing_cell(name);
    const std::size_t start = field.find_first_of("-.0123456789");
    const std::size_t end = std::min(field.find_first_of(" \n", start), field.size());
    const std::string number = field.substr(start, end - start);
    return cell(name, std::strtod(number.c_str(), nullptr) < 0 ? "Validn" : "Valid", number);
}

// Random fields of up to the longest length, of digits, signs, points,
// blanks, letters and bytes above 0x7f, as the first, middle and last
// fields of lines long and short, against the definition.
TEST(DataConvTest, RandomFieldsMatchTheDefinition)
{
    std::mt19937 random(5);
    const std::string alphabet = "0123456789-.- e+zN\x80\xff";  // no x: strtod would read hexadecimal
    for (int round = 0; round < 300; ++round) {
        ScratchDir dir;
        Conversion c(dir);
        const int num_vars = 1 + static_cast<int>(random() % 12);
        c.names.clear();
        for (int j = 0; j < num_vars; ++j) c.names.push_back("v" + std::to_string(j));
        c.flags.assign(static_cast<std::size_t>(num_vars), 0);
        c.num_codes.assign(static_cast<std::size_t>(num_vars), 0);
        c.num_obs = 20;
        std::string text, expected;
        for (int r = 0; r < c.num_obs; ++r) {
            std::string cells;
            for (int j = 0; j < num_vars; ++j) {
                std::string field;
                const int length = static_cast<int>(random() % (KEST_MAX_FIELD + 1)) - (j == num_vars - 1);
                for (int k = 0; k < length; ++k) field += alphabet[random() % alphabet.size()];
                text += field + (j + 1 < num_vars ? "," : "\n");
                cells += field.empty() ? missing_cell(c.names[static_cast<std::size_t>(j)])
                                       : model_cell(c.names[static_cast<std::size_t>(j)], field);
            }
            expected += record_line("D", cells);
        }
        ASSERT_EQ(c.run_on(text), (Pair{0, 0})) << text;
        ASSERT_EQ(c.records(), expected) << text;
    }
}

TEST(DataConvTest, HeaderShortageFailsAfterStylesheetAndSchema)
{
    ScratchDir dir;
    Conversion c(dir);
    c.header_lines = 3;
    ASSERT_EQ(c.run_on("h1\nh2\n"), (Pair{10, 2}));
    EXPECT_EQ(read_file(c.schema_path), schema_text("D", 1, {{"a"}, {"b"}, {"c"}}));
    EXPECT_EQ(read_file(c.xsl_path), stylesheet("D", "D", {"a", "b", "c"}, c.data_path, c.schema_path));
    EXPECT_EQ(read_file(c.data_path), "");
}

TEST(DataConvTest, ArgumentCodesInTheirOrder)
{
    struct Case {
        const char* what;
        void (*setup)(Conversion&, const ScratchDir&);
        int num_vars;
        Pair error;
    };
    const Case cases[] = {
        {"no variables before no records", [](Conversion& c, const ScratchDir&) { c.num_obs = 0; }, 0, {7, 1}},
        {"no records", [](Conversion& c, const ScratchDir&) { c.num_obs = 0; }, -1, {6, 1}},
        {"long name before missing text",
         [](Conversion& c, const ScratchDir& d) {
             c.names[1] = std::string(KEST_MAX_NAME + 1, 'n');
             c.text_path = d.file("absent.txt");
         },
         -1, {65, 1}},
        {"longest name accepted", [](Conversion& c, const ScratchDir&) { c.names[2] = std::string(KEST_MAX_NAME, 'n'); },
         -1, {0, 0}},
        {"more codes than the row holds, before missing text",
         [](Conversion& c, const ScratchDir& d) {
             c.flags = {0, 0, 2};
             c.num_codes = {0, 0, 2};
             c.text_path = d.file("absent.txt");
         },
         -1, {64, 2}},
        {"negative code count",
         [](Conversion& c, const ScratchDir&) {
             c.flags = {3, 0, 0};
             c.num_codes = {-1, 0, 0};
         },
         -1, {64, 0}},
        {"text file missing before data file", [](Conversion& c, const ScratchDir& d) {
             c.text_path = d.file("absent.txt");
             c.data_path = d.file("no/d.xml");
         }, -1, {2, 1}},
        {"data file", [](Conversion& c, const ScratchDir& d) { c.data_path = d.file("no/d.xml"); }, -1, {3, 1}},
        {"stylesheet", [](Conversion& c, const ScratchDir& d) { c.xsl_path = d.file("no/d.xsl"); }, -1, {4, 1}},
        {"schema", [](Conversion& c, const ScratchDir& d) { c.schema_path = d.file("no/d.xdr"); }, -1, {5, 1}},
        {"header shortage before delimiter", [](Conversion& c, const ScratchDir&) {
             c.header_lines = 5;
             c.delim_type = 3;
         }, -1, {10, 2}},
        {"delimiter", [](Conversion& c, const ScratchDir&) { c.delim_type = -1; }, -1, {8, -1}},
        {"delimiter 3", [](Conversion& c, const ScratchDir&) { c.delim_type = 3; }, -1, {8, 3}},
    };
    for (const Case& k : cases) {
        ScratchDir dir;
        Conversion c(dir);
        write_file(c.text_path, "1,2,3\n");
        k.setup(c, dir);
        EXPECT_EQ(c.run(k.num_vars), k.error) << k.what;
    }
}

}  // namespace

namespace {

TEST(DataConvTest, NullPointersHaveTheCodesOfWhatTheyStandFor)
{
    ScratchDir dir;
    Conversion c(dir);
    write_file(c.text_path, "1,2,3\n");
    std::vector<char*> names;
    for (std::string& n : c.names) names.push_back(n.data());
    const auto convert = [&](char* dataset, const char* text, const char* data, const char* xsl, const char* schema,
                             char** name_list, const int* flags, const int* num_codes, const int* table) {
        Pair error = {-77, -77};
        data_conv(dataset, text, data, xsl, schema, 1, 3, 2, 0.0, 0, name_list, flags, num_codes, table, 1,
                  error.data());
        return error;
    };
    char* const d = c.dataset.data();
    const char* const text = c.text_path.c_str();
    const char* const data = c.data_path.c_str();
    const char* const xsl = c.xsl_path.c_str();
    const char* const schema = c.schema_path.c_str();
    const int* const flags = c.flags.data();
    const int* const codes = c.num_codes.data();
    const int* const table = c.code_table.data();
    EXPECT_EQ(convert(nullptr, text, data, xsl, schema, names.data(), flags, codes, table), (Pair{65, -1}));
    EXPECT_EQ(convert(d, text, data, xsl, schema, nullptr, flags, codes, table), (Pair{65, 0}));
    names[1] = nullptr;
    EXPECT_EQ(convert(d, text, data, xsl, schema, names.data(), flags, codes, table), (Pair{65, 1}));
    names[1] = c.names[1].data();
    EXPECT_TRUE(dir.entries() == std::vector<std::string>{"in.txt"});
    // A categorical variable needs its code count, and its codes when it
    // lists any.
    const int categorical[] = {0, 2, 0};
    const int one_code[] = {0, 1, 0};
    EXPECT_EQ(convert(d, text, data, xsl, schema, names.data(), categorical, nullptr, table), (Pair{64, 1}));
    EXPECT_EQ(convert(d, text, data, xsl, schema, names.data(), categorical, one_code, nullptr), (Pair{64, 1}));
    EXPECT_TRUE(dir.entries() == std::vector<std::string>{"in.txt"});
    // Paths: files that cannot be opened or created.
    EXPECT_EQ(convert(d, nullptr, data, xsl, schema, names.data(), flags, codes, table), (Pair{2, 1}));
    EXPECT_EQ(convert(d, text, nullptr, xsl, schema, names.data(), flags, codes, table), (Pair{3, 1}));
    EXPECT_EQ(convert(d, text, data, nullptr, schema, names.data(), flags, codes, table), (Pair{4, 1}));
    EXPECT_EQ(convert(d, text, data, xsl, nullptr, names.data(), flags, codes, table), (Pair{5, 1}));
    // Without flags every variable is continuous; without codes none is
    // needed then.
    EXPECT_EQ(convert(d, text, data, xsl, schema, names.data(), nullptr, nullptr, nullptr), (Pair{0, 0}));
    EXPECT_EQ(c.records(),
              record_line("D", cell("a", "Valid", "1") + cell("b", "Valid", "2") + cell("c", "Valid", "3")));
    // A null ErrorPair makes the call return before a file is touched.
    const std::string before = read_file(c.data_path);
    write_file(c.text_path, "4,5,6\n");
    data_conv(d, text, data, xsl, schema, 1, 3, 2, 0.0, 0, names.data(), nullptr, nullptr, nullptr, 1, nullptr);
    EXPECT_EQ(read_file(c.data_path), before);
}

TEST(DataConvTest, EmptyTruncatedAndUnreadableTextFiles)
{
    ScratchDir dir;
    Conversion c(dir);
    c.num_obs = 2;
    // No record at all, and a text that ends inside the second record.
    EXPECT_EQ(c.run_on(""), (Pair{51, 1}));
    EXPECT_EQ(c.run_on("1,2,3\n4,5"), (Pair{51, 2}));
    c.header_lines = 1;
    EXPECT_EQ(c.run_on(""), (Pair{10, 2}));
    c.header_lines = 0;
    write_file(c.text_path, "1,2,3\n4,5,6\n");
    ASSERT_EQ(c.run(), (Pair{0, 0}));
    if (!make_unreadable(c.text_path)) GTEST_SKIP() << "running as root: a file without permissions is read";
    EXPECT_EQ(c.run(), (Pair{2, 1}));
}

}  // namespace
