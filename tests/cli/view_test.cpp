// kest view: the page of a converted and imputed data set has one row per
// record and every cell in the colour of its status; failures leave no page.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "kest_tool.h"

namespace {

using namespace kest_cli_test;

struct PageCell {
    std::string colour, text;
};
using PageRow = std::vector<PageCell>;

std::string trimmed(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The texts between each opening marker and the closing text after it.
std::vector<std::string> between(const std::string& text, const std::string& open, const std::string& close)
{
    std::vector<std::string> found;
    for (std::size_t at = text.find(open); at != std::string::npos; at = text.find(open, at)) {
        at += open.size();
        const std::size_t end = text.find(close, at);
        if (end == std::string::npos) break;
        found.push_back(text.substr(at, end - at));
    }
    return found;
}

// The rows of the page that hold cells, each cell's colour and text.
std::vector<PageRow> record_rows(const std::string& page)
{
    std::vector<PageRow> rows;
    for (const std::string& row_text : between(page, "<tr", "</tr>")) {
        PageRow row;
        for (const std::string& cell : between(row_text, "<td bgcolor=\"", "</td>")) {
            const std::string attributes_end = "\" align=\"center\">";
            const std::size_t split = cell.find(attributes_end);
            if (split == std::string::npos) continue;
            row.push_back({cell.substr(0, split), trimmed(cell.substr(split + attributes_end.size()))});
        }
        if (!row.empty()) rows.push_back(std::move(row));
    }
    return rows;
}

// The status of every cell of a data file, record by record.
std::vector<std::vector<std::string>> statuses(const std::string& data)
{
    std::vector<std::vector<std::string>> records;
    std::istringstream in(data);
    for (std::string line; std::getline(in, line);)
        if (line.find("_rec>") != std::string::npos) records.push_back(between(line, "Status='", "'"));
    return records;
}

// The colours the converter's stylesheet gives the statuses.
const std::map<std::string, std::string> colour_of = {
    {"Valid", "Lightblue"}, {"Imputed", "lightgreen"}, {"Suspect", "yellow"},
    {"Error", "red"},       {"Validn", "magenta"},     {"Missing", "blue"},
};

class KestView : public KestTool {
protected:
    // Sets the status of one cell (record from 1) in the data file's text.
    void set_status(const fs::path& data, int record, const std::string& variable, const std::string& status)
    {
        std::string text = slurp(data);
        std::size_t line = 0;
        for (int r = 0; r < record; ++r) line = text.find("_rec><", line + 1);
        const std::string tag = "<" + variable + " Status='";
        const std::size_t at = text.find(tag, line) + tag.size();
        text.replace(at, text.find('\'', at) - at, status);
        write_file(data, text);
    }

    Outcome kest_without_xsltproc(const std::string& args)
    {
        const std::string command = "cd '" + dir_.string() + "' && PATH=/nonexistent '" KEST_TOOL "' " + args +
                                    " >stdout.txt 2>stderr.txt";
        Outcome run;
        const int raw = std::system(command.c_str());
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.err = slurp(dir_ / "stderr.txt");
        return run;
    }
};

TEST_F(KestView, ThePageOfTheImputedExampleHasARowPerRecordColouredByStatus)
{
    ASSERT_EQ(kest("convert '" KEST_EXAMPLE_SURVEY "' --out out --categorical region --categorical hhtype").status, 0);
    ASSERT_EQ(kest("impute out/survey.xml --method nn").status, 0);
    const Outcome run = kest("view out/survey.xml --out out/survey.html");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "wrote out/survey.html (2000 records)\n");

    const std::vector<std::vector<std::string>> want = statuses(slurp(dir_ / "out" / "survey.xml"));
    const std::vector<PageRow> rows = record_rows(slurp(dir_ / "out" / "survey.html"));
    ASSERT_EQ(want.size(), 2000u);
    ASSERT_EQ(rows.size(), want.size());
    long imputed = 0;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        ASSERT_EQ(rows[r].size(), 6u) << "record " << r + 1;
        for (std::size_t j = 0; j < 6; ++j) {
            ASSERT_EQ(rows[r][j].colour, colour_of.at(want[r][j])) << "record " << r + 1 << ", variable " << j + 1;
            imputed += want[r][j] == "Imputed";
        }
    }
    EXPECT_GT(imputed, 300) << "the example's gaps were filled";
}

TEST_F(KestView, EveryStatusHasItsColourAndMissingCellsSayMissing)
{
    // x of record 4 is below the floor (Validn); the mean fills x of record
    // 2 with (1 + 3 + 0.5) / 3 = 1.5 and leaves y of record 3 missing.
    // Texts are as the writer wrote them.
    write_file(dir_ / "v.csv", "region,x,y\n1,1,10\n2,,20\n1,3,\n2,0.5,40\n");
    ASSERT_EQ(kest("convert v.csv --out set --categorical region --floor 0.8").status, 0);
    ASSERT_EQ(kest("impute set/v.xml --method mean --variable x").status, 0);
    set_status(dir_ / "set" / "v.xml", 1, "y", "Error");
    set_status(dir_ / "set" / "v.xml", 4, "region", "Suspect");

    const Outcome run = kest("view set/v.xml");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "wrote set/v.html (4 records)\n");
    const std::vector<PageRow> rows = record_rows(slurp(dir_ / "set" / "v.html"));
    ASSERT_EQ(rows.size(), 4u);
    const auto expect_cell = [&rows](int record, int variable, const char* colour, const char* text) {
        const PageCell& cell = rows[static_cast<std::size_t>(record - 1)][static_cast<std::size_t>(variable)];
        EXPECT_EQ(cell.colour, colour) << "record " << record << ", variable " << variable;
        EXPECT_EQ(cell.text, text) << "record " << record << ", variable " << variable;
    };
    expect_cell(1, 0, "Lightblue", "1");
    expect_cell(1, 2, "red", "10");
    expect_cell(2, 1, "lightgreen", "1.50");
    expect_cell(3, 2, "blue", "Missing");
    expect_cell(4, 0, "yellow", "2");
    expect_cell(4, 1, "magenta", "0.50");
    expect_cell(4, 2, "Lightblue", "40");
}

// With a codebook the page shows labels and the original names.
TEST_F(KestView, LabelsAndOriginalNamesFromTheCodebook)
{
    write_file(dir_ / "lab.csv", "sex,2x\nF,1\n\"A & B\",2\n,3\n");
    ASSERT_EQ(kest("convert lab.csv --categorical sex --rename").status, 0);
    const Outcome run = kest("view lab.xml");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string page = slurp(dir_ / "lab.html");
    EXPECT_EQ(between(page, "<th bgcolor=\"cyan\">", "</th>"), (std::vector<std::string>{"sex", "2x"}));
    const std::vector<PageRow> rows = record_rows(page);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0][0].text, "F");
    EXPECT_EQ(rows[1][0].text, "A &amp; B");
    EXPECT_EQ(rows[2][0].text, "Missing");
    EXPECT_EQ(rows[2][1].text, "3");
}

// Every record row starts with its number; a legend gives each status the
// colour its cells have.
TEST_F(KestView, RecordNumbersAndALegend)
{
    ASSERT_EQ(kest("convert '" KEST_EXAMPLE_SURVEY "' --out out --categorical region --categorical hhtype").status, 0);
    ASSERT_EQ(kest("view out/survey.xml").status, 0);
    const std::string page = slurp(dir_ / "out" / "survey.html");
    const std::vector<std::string> rows = between(page, "<tr>", "</tr>");
    long record = 0;
    for (const std::string& row : rows) {
        if (row.find("<td") == std::string::npos) continue;
        ASSERT_EQ(row.rfind("<td class=\"record\" align=\"right\">" + std::to_string(++record) + "</td>\n<td bgcolor=", 0),
                  0u)
            << row;
    }
    EXPECT_EQ(record, 2000);
    EXPECT_NE(page.find("<tr><th class=\"record\">record</th>\n<th bgcolor=\"cyan\">region</th>"), std::string::npos);
    const std::string legend = between(page, "<p class=\"legend\">", "</p>").at(0);
    for (const auto& [status, colour] : colour_of)
        EXPECT_NE(legend.find("<span style=\"background:" + colour + ";color:" + (status == "Missing" ? "white" : "black") +
                              ";padding:2px 8px;margin:0 2px\">" + status + "</span>"),
                  std::string::npos)
            << status;
}

TEST_F(KestView, FailuresLeaveNoPage)
{
    write_file(dir_ / "v.csv", "a,b\n1,2\n3,4\n");
    ASSERT_EQ(kest("convert v.csv").status, 0);

    // A stylesheet xsltproc cannot read.
    write_file(dir_ / "broken.xsl", "<xsl:stylesheet version=\"1.0\"\n");
    Outcome run = kest("view v.xml --stylesheet broken.xsl --out page.html");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("kest view: xsltproc could not apply 'broken.xsl' to 'v.xml'"), std::string::npos)
        << run.err;

    // No xsltproc.
    run = kest_without_xsltproc("view v.xml --out page.html");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "kest view: xsltproc, which applies the stylesheet, is not installed (scripts/setup "
                       "installs it)\n");

    // A stylesheet that matches no record: a page, with a warning.
    std::string other = slurp(dir_ / "v.xsl");
    other.replace(other.find("gg:v_rec\">"), 10, "gg:w_rec\">");
    write_file(dir_ / "other.xsl", other);
    run = kest("view v.xml --stylesheet other.xsl --out other.html");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "wrote other.html (0 records)\n");
    EXPECT_NE(run.err.find("the page shows no records"), std::string::npos);
    fs::remove(dir_ / "other.html");

    // No stylesheet named, found or given; no data file; a page over the
    // data file.
    fs::rename(dir_ / "v.xsl", dir_ / "elsewhere.xsl");
    run = kest("view v.xml --out page.html");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("the stylesheet 'v.xsl' named in 'v.xml' is found neither"), std::string::npos) << run.err;
    EXPECT_EQ(kest("view absent.xml --stylesheet elsewhere.xsl").status, 1);
    const std::string data = slurp(dir_ / "v.xml");
    EXPECT_EQ(kest("view v.xml --stylesheet elsewhere.xsl --out ./v.xml").status, 2);
    EXPECT_EQ(slurp(dir_ / "v.xml"), data);
    EXPECT_EQ(kest("view").status, 2);
    EXPECT_EQ(kest("view v.xml --out=").status, 2);

    for (const auto& entry : fs::directory_iterator(dir_))
        EXPECT_EQ(entry.path().filename().string().find(".html"), std::string::npos) << entry.path();
}

TEST_F(KestView, AFileNameThatLooksLikeAnOption)
{
    write_file(dir_ / "v.csv", "a,b\n1,2\n3,4\n");
    ASSERT_EQ(kest("convert v.csv").status, 0);
    fs::copy_file(dir_ / "v.xml", dir_ / "-v.xml");
    const Outcome run = kest("view -- -v.xml");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "wrote -v.html (2 records)\n");
}

}  // namespace
