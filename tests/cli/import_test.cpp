// kest convert on users' files and kest export back: files written by R
// and pandas (kept in data/, see data/SOURCES) come back byte for byte,
// every malformed file is refused with its line and leaves nothing behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "kest_tool.h"

namespace fs = std::filesystem;

namespace {

using namespace kest_cli_test;

const std::string data_dir = KEST_CLI_DATA;

const char* const survey_factors =
    " --rename --categorical Sex --categorical W.Hnd --categorical Fold --categorical Clap --categorical Exer"
    " --categorical Smoke --categorical M.I";

std::vector<std::string> files_in(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class KestImport : public KestTool {
protected:
    void copy_in(const std::string& name) { fs::copy_file(fs::path(data_dir) / name, dir_ / name); }
};

// R's write.csv with NA for missing values is what export --na NA writes,
// so the round trip gives R's own bytes back; pandas' file of the same
// data frame (numbers as 18.0, no quotes, empty fields) converts to the
// same data set.
TEST_F(KestImport, FilesWrittenByRAndPandasComeBackByteForByte)
{
    struct Case {
        const char* file;
        std::string options;
    };
    const Case cases[] = {
        {"survey_r.csv", survey_factors},
        {"survey_pandas.csv", survey_factors},
        {"cars93_r.csv", " --rename --categorical Manufacturer --categorical Type --categorical Cylinders"},
        {"airquality_r.csv", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        copy_in(c.file);
        const Outcome convert = kest(std::string("convert ") + c.file + " --out set" + c.options);
        ASSERT_EQ(convert.status, 0) << convert.err;
        const std::string stem = fs::path(c.file).stem().string();
        const Outcome out = kest("export set/" + stem + ".xml --out back.csv --na NA");
        ASSERT_EQ(out.status, 0) << out.err;
        const std::string r_file = std::string(c.file) == "survey_pandas.csv" ? "survey_r.csv" : c.file;
        EXPECT_TRUE(slurp(dir_ / "back.csv") == slurp(fs::path(data_dir) / r_file));
    }
}

TEST_F(KestImport, LabelsAndRenamedNamesAreKeptInTheCodebook)
{
    copy_in("cars93_r.csv");
    const Outcome convert =
        kest("convert cars93_r.csv --rename --categorical Manufacturer --categorical Type --categorical Cylinders");
    ASSERT_EQ(convert.status, 0) << convert.err;
    // Price occurs inside Min.Price, which comes before it.
    EXPECT_EQ(convert.out, "converted 8 records of 7 variables: cars93_r.xml, cars93_r.xdr, cars93_r.xsl\n"
                           "row numbers 1..8 in the unnamed first column were left out\n"
                           "renamed 'Price' to 'Price_1'\n"
                           "Manufacturer: 6 labels coded 1 to 6\n"
                           "Type: 4 labels coded 1 to 4\n"
                           "Cylinders: 4 labels coded 1 to 4\n"
                           "codebook cars93_r.codebook.csv\n");
    EXPECT_EQ(slurp(dir_ / "cars93_r.codebook.csv"), "entry,variable,code,text\n"
                                                    "name,Price_1,,\"Price\"\n"
                                                    "label,Manufacturer,1,\"Acura\"\n"
                                                    "label,Manufacturer,2,\"Audi\"\n"
                                                    "label,Manufacturer,3,\"BMW\"\n"
                                                    "label,Manufacturer,4,\"Buick\"\n"
                                                    "label,Manufacturer,5,\"Chevrolet\"\n"
                                                    "label,Manufacturer,6,\"Mazda\"\n"
                                                    "label,Type,1,\"Compact\"\n"
                                                    "label,Type,2,\"Midsize\"\n"
                                                    "label,Type,3,\"Small\"\n"
                                                    "label,Type,4,\"Sporty\"\n"
                                                    "label,Cylinders,1,\"4\"\n"
                                                    "label,Cylinders,2,\"6\"\n"
                                                    "label,Cylinders,3,\"8\"\n"
                                                    "label,Cylinders,4,\"rotary\"\n"
                                                    "row_names,,1,\n");
    EXPECT_NE(slurp(dir_ / "cars93_r.xdr").find("<ElementType name=\"Price_1\" content=\"textOnly\" dt:type=\"r8\" >"),
              std::string::npos);
    const Outcome show = kest("show cars93_r.xml");
    EXPECT_NE(show.out.find("Cylinders       categorical  1 4, 2 6, 3 8, 4 rotary\n"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("Price_1 was 'Price' in the text file\n"), std::string::npos) << show.out;
    const Outcome summary = kest("summary cars93_r.xml");
    EXPECT_NE(summary.out.find("Type  count  percent  label\n"
                               "   1      1     12.5  Compact\n"
                               "   2      4     50.0  Midsize\n"
                               "   3      1     12.5  Small\n"
                               "   4      2     25.0  Sporty\n"),
              std::string::npos)
        << summary.out;

    // Without --rename the refusal says what to do, and nothing is written.
    fs::remove(dir_ / "cars93_r.xml");
    const Outcome refused =
        kest("convert cars93_r.csv --out again --categorical Manufacturer --categorical Type --categorical Cylinders");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("the name of variable 4 ('Price') also occurs in the name 'Min.Price'"), std::string::npos);
    EXPECT_NE(refused.err.find("give --rename"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(dir_ / "again"));
}

// Each malformed file is refused with exit 1, its line, column and text,
// and leaves only itself in the folder.
TEST_F(KestImport, MalformedFilesAreRefusedAndLeaveNothing)
{
    struct Case {
        const char* text;
        const char* options;
        const char* error;
    };
    const Case cases[] = {
        {"w,v\n1,12.5kg\n", "", "line 2 of 'in.csv': '12.5kg' in the column of 'v' is not a number"},
        {"w,v\n1,2\n3,0x1A\n", "", "line 3 of 'in.csv': '0x1A' in the column of 'v' is not a number"},
        {"w,v\n1,12;5\n", "", "line 2 of 'in.csv': '12;5' in the column of 'v' is not a number"},
        {"w,v\nabc,1\n", "", "line 2 of 'in.csv': 'abc' in the column of 'w' is not a number; give --text-as-missing "
                             "to convert such fields as Missing, or --categorical w if it holds labels"},
        {"w,v\n1,1e400\n", "", "line 2 of 'in.csv': '1e400' in the column of 'v' is beyond the range of numbers"},
        {"w,v\n1,inf\n", "", "line 2 of 'in.csv': 'inf' in the column of 'v' is not a number"},
        {"a,b,c,d,e\n1,2,3,4,5,6\n1,2,3,4,5,6\n", "", "line 1 of 'in.csv' holds 5 names but every record has 6 fields"},
        {"a,b,c\n1,2,3\n1,2,3,4\n", "", "line 3 of 'in.csv' has 4 field(s) where there are 3 variables"},
        {"a,b,c\n1,2,3\n1,2\n", "", "line 3 of 'in.csv' has 2 field(s) where there are 3 variables"},
        {"a,b\n1,\"5\"x\n", "", "line 2 of 'in.csv': text follows the closing double quote of the field \"5\""},
        {"a,b\n1,5\"\n", "", "line 2 of 'in.csv': a double quote stands inside the field '5\"'"},
        {"a,b\n1,2\n\"3,4\n", "", "line 3 of 'in.csv': a double quote opened on this line is never closed"},
        {"g,x\n1,1\n3,2\n", "--categorical g=1,2", "line 3 of 'in.csv': '3' in the column of 'g' is not one of its codes (1, 2)"},
        {"g,x\n1,1\n2.5,2\n", "--categorical g", "line 3 of 'in.csv': '2.5' in the column of 'g' is not a whole-number "
                                                 "category code"},
        {"a,b\n1,2\n", "--records 2", "'in.csv' has 1 record(s) after its header, not the 2 that --records asks for"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        write_file(dir_ / "in.csv", c.text);
        const Outcome run = kest(std::string("convert in.csv ") + c.options);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err.rfind(std::string("kest convert: ") + c.error, 0), 0u) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(files_in(dir_), (std::vector<std::string>{"in.csv", "stderr.txt", "stdout.txt"}));
    }
}

// What spreadsheets and other writers produce besides R's files, and the
// record lines it becomes.
TEST_F(KestImport, AcceptedFormsBecomeTheseCells)
{
    struct Case {
        const char* text;
        const char* options;
        const char* record;  // the first record line
        const char* note;    // a line the conversion prints, or ""
    };
    const Case cases[] = {
        // Byte-order mark, CRLF, quoted names and numbers.
        {"\xEF\xBB\xBF\"a\",\"b\"\r\n\"5\",-.5\r\n", "", "<in_rec><a Status='Valid'>5</a><b Status='Valid'>-0.5</b></in_rec>", ""},
        // NA, the empty field and '.' are missing; --na adds more.
        {"p,q,w,y\nNA,,.,-99\n", "--na -99",
         "<in_rec><p Status='Missing'> </p><q Status='Missing'> </q><w Status='Missing'> </w><y Status='Missing'> </y></in_rec>", ""},
        // A quoted label holding the delimiter and a doubled quote.
        {"g,x\n\"a,b\",1\n\"say \"\"hi\"\"\",2\n", "--categorical g",
         "<in_rec><g Status='Valid'>1</g><x Status='Valid'>1</x></in_rec>", "g: 2 labels coded 1 to 2\n"},
        // R's 15 significant digits: the nearest number of 14 characters.
        {"a\n0.333333333333333\n", "", "<in_rec><a Status='Valid'>.3333333333333</a></in_rec>",
         "a: 1 number(s) longer than 14 characters kept as the nearest number of 14 characters\n"},
        // A longer text of a number that 14 characters hold exactly is not shortened.
        {"a\n1.50000000000000000\n", "", "<in_rec><a Status='Valid'>1.5</a></in_rec>", ""},
        {"a,b\nx12,1\n", "--text-as-missing", "<in_rec><a Status='Missing'> </a><b Status='Valid'>1</b></in_rec>",
         "a: 1 text(s) that are not numbers converted as Missing\n"},
        // pandas' default index starts at 0.
        {",a\n0,7\n1,8\n", "", "<in_rec><a Status='Valid'>7</a></in_rec>",
         "row numbers 0..1 in the unnamed first column were left out\n"},
        // Row names that are not row numbers stay a variable, named by --rename.
        {",w\nx,7\n", "--rename --categorical V1", "<in_rec><V1 Status='Valid'>1</V1><w Status='Valid'>7</w></in_rec>",
         "renamed '' to 'V1'\n"},
        // A one-letter name inside the record tag, a name that starts with a digit.
        {"r,2x\n1,2\n", "--rename", "<in_rec><r_1 Status='Valid'>1</r_1><X2x Status='Valid'>2</X2x></in_rec>",
         "renamed 'r' to 'r_1'\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        write_file(dir_ / "in.csv", c.text);
        const Outcome run = kest(std::string("convert in.csv ") + c.options);
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string data = slurp(dir_ / "in.xml");
        const std::size_t first = data.find("<in_rec>");
        ASSERT_NE(first, std::string::npos);
        EXPECT_EQ(data.substr(first, data.find('\n', first) - first), c.record);
        EXPECT_NE(run.out.find(c.note), std::string::npos) << run.out;
    }
}

// Missing cells are empty fields unless --na says otherwise; --status adds
// a status column per variable.
TEST_F(KestImport, ExportWritesStatusesAndLabelsOfImputedCells)
{
    write_file(dir_ / "in.csv", "sex,h\nF,1.5\nM,\n,2\nM,2.25\nF,3\n");
    ASSERT_EQ(kest("convert in.csv --categorical sex").status, 0);
    const Outcome impute = kest("impute in.xml --method nn");
    ASSERT_EQ(impute.status, 0) << impute.err;
    const Outcome out = kest("export in.xml --out out.csv --status");
    ASSERT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.out, "exported 5 records of 2 variables to out.csv\n");
    // The imputed cells hold an existing label and a donor's value.
    EXPECT_EQ(slurp(dir_ / "out.csv"), "\"sex\",\"h\",\"sex_status\",\"h_status\"\n"
                                       "\"F\",1.5,Valid,Valid\n"
                                       "\"M\",2.25,Valid,Imputed\n"
                                       "\"M\",2,Imputed,Valid\n"
                                       "\"M\",2.25,Valid,Valid\n"
                                       "\"F\",3,Valid,Valid\n");

    const Outcome plain = kest("export in.xml --out in.xml");
    EXPECT_EQ(plain.status, 1);
    EXPECT_EQ(plain.err, "kest export: the output 'in.xml' is the data file itself\n");
    EXPECT_EQ(kest("export in.xml").status, 2);
}

}  // namespace
