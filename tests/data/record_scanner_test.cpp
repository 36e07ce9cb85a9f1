// The record scanner must find exactly the cells that the format's
// definition finds by searching each record line from its start: the first
// occurrence of the variable's name, the first ">" from there, the first of
// the six status attributes (in their priority order) between the two, and
// the first "/name" of the line.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "data/number_text.h"
#include "data/record_scanner.h"

namespace {

using kest::StatusCode;

struct NaiveCell {
    StatusCode status;
    std::size_t value_start;
    std::optional<std::string> value;
};

// The definition, spelled out with plain searches from the line start.
std::optional<NaiveCell> naive_cell(const std::string& line, const std::string& name)
{
    const std::size_t start = line.find(name);
    if (start == std::string::npos) return std::nullopt;
    const std::size_t close = line.find('>', start);
    if (close == std::string::npos) return std::nullopt;
    NaiveCell cell{kest::status_absent, close + 1, std::nullopt};
    const std::pair<const char*, StatusCode> priority[] = {
        {" Status='Validn'", kest::status_validn},   {" Status='Valid'", kest::status_valid},
        {" Status='Missing'", kest::status_missing}, {" Status='Error'", kest::status_error},
        {" Status='Suspect'", kest::status_suspect}, {" Status='Imputed'", kest::status_imputed},
    };
    for (const auto& [text, status] : priority) {
        const std::size_t at = line.find(text, start);
        if (at != std::string::npos && at < cell.value_start) {
            cell.status = status;
            break;
        }
    }
    const std::size_t end_tag = line.find("/" + name);
    if (end_tag != std::string::npos && end_tag > cell.value_start)
        cell.value = line.substr(cell.value_start, end_tag - 1 - cell.value_start);
    return cell;
}

void expect_same_as_naive(const kest::RecordScanner& scanner, const std::string& line,
                          const std::vector<std::string>& names)
{
    for (int j = 0; j < static_cast<int>(names.size()); ++j) {
        const auto expected = naive_cell(line, names[j]);
        const auto actual = scanner.locate(j);
        ASSERT_EQ(actual.has_value(), expected.has_value()) << "line [" << line << "] name " << names[j];
        if (!expected) continue;
        ASSERT_EQ(actual->status, expected->status) << "line [" << line << "] name " << names[j];
        ASSERT_EQ(actual->value_start, expected->value_start) << "line [" << line << "] name " << names[j];
        const auto text = scanner.value_text(j, actual->value_start);
        ASSERT_EQ(text.has_value(), expected->value.has_value()) << "line [" << line << "] name " << names[j];
        if (text) {
            ASSERT_EQ(std::string(*text), *expected->value) << "line [" << line << "] name " << names[j];
        }
    }
}

TEST(RecordScannerTest, DirectedCornerCases)
{
    struct Case {
        std::vector<std::string> names;
        std::string line;
    };
    const Case cases[] = {
        {{"age", "sex", "income"},
         "<D_rec><age Status='Validn'>-3</age><sex Status='Missing'> </sex><income Status='Imputed'>1.50</income></D_rec>"},
        // x1 written before x10 is found inside x10's element first.
        {{"x10", "x1"}, "<D_rec><x10 Status='Valid'>1</x10><x1 Status='Valid'>2</x1></D_rec>"},
        // a name that occurs inside the record type name
        {{"D", "rec"}, "<D_rec><D Status='Valid'>1</D><rec Status='Error'>2</rec></D_rec>"},
        // status attribute of a later element, and one after the ">"
        {{"a", "b"}, "<a>1</a><b Status='Valid'>2</b>"},
        {{"a"}, "<a x> Status='Valid'1</a>"},
        // Validn must not be taken for Valid, and priority beats position
        {{"a"}, "<a Status='Imputed' Status='Validn'>5</a>"},
        {{"a"}, "<a Status='Valid' Status='Validn'>5</a>"},
        // end tag before the value, missing end tag, missing ">", empty line
        {{"a"}, "/a<a Status='Valid'>5</b>"},
        {{"a"}, "<a Status='Valid'>5"},
        {{"a"}, "<a Status='Valid'"},
        {{"a"}, ""},
        {{"a", "a"}, "<a Status='Valid'>5</a>"},
        // one-character names that occur inside the status text
        {{"S", "t", "'"}, "<S Status='Suspect'>1</S><t Status='Error'>2</t>"},
        // the end tag directly after the start tag
        {{"a"}, "<a Status='Valid'>/a"},
        {{"a"}, "<a Status='Valid'>x/a"},
    };
    for (const Case& c : cases) {
        kest::RecordScanner scanner(c.names);
        scanner.scan(c.line);
        expect_same_as_naive(scanner, c.line, c.names);
    }
}

// Random lines made mostly of the pieces that matter (names, end tags, ">"
// and status attributes, whole or cut short) against random short names,
// including one-character and overlapping ones.
TEST(RecordScannerTest, MatchesTheDefinitionOnRandomLines)
{
    std::mt19937 random(7);
    const std::string name_alphabet = "abSVt";
    const std::vector<std::string> fragments = {
        "<", ">", "/", " ", "'", "a", "b", "S", "V", "t", "=", "1", "-",
        " Status='", "Valid'", "Validn'", "Missing'", "Error'", "Suspect'", "Imputed'",
        " Status='Valid'", " Status='Validn'", " Status='Missing'", " Status='Error'",
        " Status='Suspect'", " Status='Imputed'", " Status='Vali", " Status=\"Valid\""};
    int with_status = 0, with_value = 0;
    for (int round = 0; round < 4000; ++round) {
        std::vector<std::string> names(1 + random() % 4);
        for (std::string& name : names) {
            const int length = 1 + static_cast<int>(random() % 3);
            for (int c = 0; c < length; ++c) name += name_alphabet[random() % name_alphabet.size()];
        }
        kest::RecordScanner scanner(names);
        // The same scanner serves many lines, as it does for a file.
        for (int l = 0; l < 10; ++l) {
            std::string line;
            const int pieces = static_cast<int>(random() % 30);
            for (int p = 0; p < pieces; ++p) {
                const unsigned pick = random() % 5;
                const std::string& name = names[random() % names.size()];
                if (pick == 0) line += "<" + name;
                else if (pick == 1) line += "/" + name;
                // a whole element with one of the status pieces (fragments 13 on)
                else if (pick == 2) line += "<" + name + fragments[13 + random() % 15] + ">1</" + name + ">";
                else line += fragments[random() % fragments.size()];
            }
            scanner.scan(line);
            expect_same_as_naive(scanner, line, names);
            if (testing::Test::HasFatalFailure()) return;
            for (const std::string& name : names) {
                const auto cell = naive_cell(line, name);
                with_status += cell && cell->status != kest::status_absent;
                with_value += cell && cell->value;
            }
        }
    }
    // The lines must reach the interesting cases often.
    EXPECT_GT(with_status, 5000);
    EXPECT_GT(with_value, 5000);
}

// Lines in the writer's form, which the scanner takes in one walk when the
// names allow it, against the definition: names that hide in the record's
// name, in "Status=", in status texts, in earlier names or in values, and
// lines that leave the form in one place.  A plain number the walk reads
// must be the reader's value of the cell's text.
TEST(RecordScannerTest, LinesInTheWritersFormMatchTheDefinition)
{
    std::mt19937 random(11);
    const std::string name_alphabet = "xe1Sat";
    const std::vector<std::string> values = {"12", "0.50", "-3.25", "1e5", " ", "", "007", "2.", ".5",
                                             "1234567890123456", "x1", "e1", "1<2", "3/x", "9>"};
    const std::vector<std::string> statuses = {"Valid", "Validn", "Missing", "Imputed", "Suspect", "Error", "Bogus"};
    int plain_numbers = 0, searched_lines = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::string> names(1 + random() % 4);
        for (std::string& name : names) {
            const int length = 1 + static_cast<int>(random() % 3);
            for (int c = 0; c < length; ++c) name += name_alphabet[random() % name_alphabet.size()];
        }
        const std::string record = round % 7 == 0 ? "rec_x1" : "rec";
        kest::RecordScanner scanner(names, record);
        for (int l = 0; l < 10; ++l) {
            std::string line = "<" + record + ">";
            for (const std::string& name : names) {
                const std::string& value = values[random() % (random() % 4 == 0 ? values.size() : 9)];
                line += "<" + name + " Status='" + statuses[random() % (random() % 8 == 0 ? 7 : 6)] + "'>" + value +
                        "</" + name + ">";
            }
            line += "</" + record + ">";
            if (random() % 6 == 0) line.erase(random() % line.size(), 1);
            scanner.scan(line);
            expect_same_as_naive(scanner, line, names);
            if (testing::Test::HasFatalFailure()) return;
            bool walked = false;
            for (int j = 0; j < static_cast<int>(names.size()); ++j) {
                double number = 0;
                if (!scanner.plain_number(j, number)) continue;
                walked = true;
                ++plain_numbers;
                const auto text = naive_cell(line, names[static_cast<std::size_t>(j)])->value;
                ASSERT_TRUE(text.has_value()) << line;
                const auto expected = kest::read_number_text(*text);
                ASSERT_TRUE(expected.has_value()) << line;
                ASSERT_EQ(std::bit_cast<uint64_t>(*expected), std::bit_cast<uint64_t>(number)) << line;
            }
            searched_lines += !walked;
        }
    }
    EXPECT_GT(plain_numbers, 5000);
    EXPECT_GT(searched_lines, 5000);
}

}  // namespace
