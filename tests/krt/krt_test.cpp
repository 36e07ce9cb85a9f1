// The reference engine: the map's structure and training (through its
// internal class), and the command language and scripts through the six
// exports as the plug-in and the demo use them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "krt.h"
#include "tssom.h"

namespace {

// ---------------------------------------------------------------------------
// The map

TEST(TssomShape, LayersGrowByTheirDimensionAndChildrenRefineTheirParent)
{
    const krt::Tssom map(2, 4);
    EXPECT_EQ(map.units(0), 1);
    EXPECT_EQ(map.units(1), 4);
    EXPECT_EQ(map.units(2), 16);
    EXPECT_EQ(map.units(3), 64);
    for (int layer = 0; layer + 1 < map.layers(); ++layer)
        for (int unit = 0; unit < map.units(layer); ++unit) {
            const auto kids = map.children(layer, unit);
            ASSERT_EQ(kids.size(), 4u);
            for (int kid : kids) EXPECT_EQ(map.parent(layer + 1, kid), unit);
        }
    const krt::Tssom line(1, 5);
    EXPECT_EQ(line.units(4), 16);
    EXPECT_EQ(line.children(2, 3), (std::vector<int>{6, 7}));
}

TEST(TssomShape, NeighboursAreTheUnitsAroundWithinTheLayer)
{
    const krt::Tssom map(2, 3);  // layer 2 is a 4 x 4 grid, unit = x + 4 y
    EXPECT_EQ(map.neighbours(2, 0), (std::vector<int>{1, 4, 5}));
    EXPECT_EQ(map.neighbours(2, 1).size(), 5u);
    EXPECT_EQ(map.neighbours(2, 5), (std::vector<int>{0, 1, 2, 4, 6, 8, 9, 10}));
    EXPECT_TRUE(map.neighbours(0, 0).empty());
}

// Three well separated clusters around (1,1,1), (5,5,5) and (9,9,9), the
// record's cluster being its number modulo 3, with uniform noise of +-0.5.
krt::Table clusters(int records)
{
    krt::Table t;
    t.records = records;
    t.variables = 3;
    std::uint32_t state = 7;
    for (int r = 0; r < records; ++r)
        for (int k = 0; k < 3; ++k) {
            state = state * 1664525u + 1013904223u;
            const double noise = static_cast<double>(state >> 8) / static_cast<double>(1u << 24) - 0.5;
            t.cells.push_back(1.0 + 4.0 * (r % 3) + noise);
        }
    return t;
}

std::vector<int> all_rows(int n)
{
    std::vector<int> rows(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) rows[static_cast<std::size_t>(i)] = i;
    return rows;
}

TEST(TssomTraining, IsDeterministicForASeedAndEveryRecordDescendsFromItsUnitAbove)
{
    const krt::Table table = clusters(300);
    krt::TrainingSettings settings;
    settings.layers = 3;
    krt::Tssom a(2, 3), b(2, 3);
    a.train(table, all_rows(300), settings);
    b.train(table, all_rows(300), settings);
    for (int layer = 0; layer < 3; ++layer)
        for (int unit = 0; unit < a.units(layer); ++unit) {
            for (int k = 0; k < 3; ++k) EXPECT_EQ(a.prototype(layer, unit)[k], b.prototype(layer, unit)[k]);
            EXPECT_EQ(a.members(layer, unit), b.members(layer, unit));
            // Tree search: the members of a unit are members of its parent.
            if (layer == 0) continue;
            for (int r : a.members(layer, unit)) {
                const auto& above = a.members(layer - 1, a.parent(layer, unit));
                EXPECT_TRUE(std::binary_search(above.begin(), above.end(), r));
            }
        }
    // Every bottom unit holds records of one cluster only, and its
    // prototype lies in that cluster.
    for (int unit = 0; unit < a.units(2); ++unit) {
        const auto& members = a.members(2, unit);
        for (int r : members) EXPECT_EQ(r % 3, members.front() % 3);
        if (members.empty()) continue;
        EXPECT_NEAR(a.prototype(2, unit)[0], 1.0 + 4.0 * (members.front() % 3), 0.5);
    }
}

TEST(TssomTraining, APathFollowsTheObservedValuesOnly)
{
    const krt::Table table = clusters(300);
    krt::TrainingSettings settings;
    settings.layers = 3;
    krt::Tssom map(2, 3);
    map.train(table, all_rows(300), settings);
    const double nan = std::nan("");
    const double record[3] = {9.1, nan, nan};  // the third cluster, by its first value
    const auto path = map.path(record, {});
    ASSERT_EQ(path.size(), 3u);
    EXPECT_NEAR(map.prototype(2, path[2])[1], 9.0, 0.6);
    // Masked values count as absent.
    const double masked[3] = {9.1, 1.0, 1.0};
    const auto masked_path = map.path(masked, {false, true, true});
    EXPECT_EQ(masked_path, path);
}

// ---------------------------------------------------------------------------
// The exports

int command(const std::string& text)
{
    char reply[KRT_REPLY_SIZE];
    return run_KRT_command(text.c_str(), reply, sizeof reply);
}

struct Frame {
    std::vector<int> rows;
    std::vector<std::vector<float>> fields;  // fields[k - 1] is field k
};

Frame fetch(const char* name, int variables)
{
    Frame f;
    void* values = nullptr;
    int count = 0;
    EXPECT_EQ(get_field_ptr(name, 0, &values, &count), 0) << name;
    if (count > 0) f.rows.assign(static_cast<int*>(values), static_cast<int*>(values) + count);
    for (int k = 1; k <= variables; ++k) {
        int n = 0;
        EXPECT_EQ(get_field_ptr(name, k, &values, &n), 0);
        EXPECT_EQ(n, count);
        f.fields.emplace_back(static_cast<float*>(values), static_cast<float*>(values) + n);
    }
    return f;
}

void push(const krt::Table& t, float missing = -10000.0f)
{
    ASSERT_EQ(create_new_frame("data"), 0);
    for (int k = 0; k < t.variables; ++k) {
        std::vector<float> column;
        for (int r = 0; r < t.records; ++r)
            column.push_back(std::isnan(t.at(r, k)) ? missing : static_cast<float>(t.at(r, k)));
        ASSERT_EQ(krt_insert_ffield("data", ("var" + std::to_string(k + 1)).c_str(), t.records, column.data()), 0);
    }
}

void settings(int k, const char* impute, const char* edit, const char* threshold = "3.0")
{
    const std::string f = "F" + std::to_string(k);
    ASSERT_EQ(command("setdata -f " + f + " -len 4 -t string -vals 0=" + impute + " ;"), 0);
    ASSERT_EQ(command("setdata -f " + f + " -t string -vals 1=" + edit + " ;"), 0);
    ASSERT_EQ(command("setdata -f " + f + " -t string -vals 2=0.5 ;"), 0);
    ASSERT_EQ(command("setdata -f " + f + " -t string -vals 3=" + threshold + " ;"), 0);
}

const std::string impute_run = "runcmd impute.cmd 2 3 0 -10000 5 0.5 0.001 20 3 0 1 0 0";

TEST(EngineCommands, AnythingOutsideTheLanguageIsRefused)
{
    EXPECT_EQ(command(""), KRT_ERR_COMMAND);
    EXPECT_EQ(command("frobnicate F0"), KRT_ERR_COMMAND);
    EXPECT_EQ(command("runcmd other.cmd 1 2"), KRT_ERR_COMMAND);
    EXPECT_EQ(command("setdata -f G0 -t string -vals 0=IMP_NONE ;"), KRT_ERR_NO_OBJECT);  // no -len, no frame
    EXPECT_EQ(command("setdata -f G0 -len 4 -t float -vals 0=1 ;"), KRT_ERR_SYNTAX);
    EXPECT_EQ(command("setdata -f G0 -len 4 -t string -vals 4=x ;"), KRT_ERR_VALUE);
    EXPECT_EQ(command("setdata -f G0 -len 4 -t string -vals zero=x ;"), KRT_ERR_SYNTAX);
    EXPECT_EQ(command("select G -f G0"), KRT_ERR_NO_OBJECT);
    EXPECT_EQ(command("select G G0"), KRT_ERR_SYNTAX);
    EXPECT_EQ(command("rm G0"), KRT_ERR_NO_OBJECT);
    EXPECT_EQ(run_KRT_command(nullptr, nullptr, 0), KRT_ERR_ARGUMENT);
    EXPECT_EQ(create_new_frame(""), KRT_ERR_ARGUMENT);
    EXPECT_EQ(krt_insert_ffield("no frame", "var1", 0, nullptr), KRT_ERR_NO_OBJECT);
    void* values = nullptr;
    int count = 0;
    EXPECT_EQ(get_field_ptr("no frame", 0, &values, &count), KRT_ERR_NO_OBJECT);
    EXPECT_EQ(get_field_ptr("no frame", 0, nullptr, &count), KRT_ERR_ARGUMENT);
}

TEST(EngineCommands, SettingsSelectionsAndRemovalWorkOnNamedFrames)
{
    settings(0, "IMP_NRAND", "EDIT_NONE");
    void* values = nullptr;
    int count = 0;
    ASSERT_EQ(get_field_ptr("F0", 0, &values, &count), 0);
    ASSERT_EQ(count, 4);
    const auto* texts = static_cast<const char* const*>(values);
    EXPECT_STREQ(texts[0], "IMP_NRAND");
    EXPECT_STREQ(texts[3], "3.0");
    ASSERT_EQ(command("select sfr -f F0"), 0);
    ASSERT_EQ(get_field_ptr("sfr", 0, &values, &count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(command("rm sfr"), 0);
    EXPECT_EQ(command("rm F0;"), 0);  // the plug-in ends its rm with a semicolon
    EXPECT_EQ(command("rm F0"), KRT_ERR_NO_OBJECT);
    // A reply never overruns its buffer.
    char reply[8];
    EXPECT_EQ(run_KRT_command("frobnicate a long command", reply, sizeof reply), KRT_ERR_COMMAND);
    EXPECT_EQ(std::string(reply).size(), 7u);
}

TEST(EngineScripts, BadNumbersOrAMissingDataFrameAreRefusedAndLeaveNoOutput)
{
    krt::Table t = clusters(30);
    push(t);
    settings(0, "IMP_NRAND", "EDIT_NONE");
    settings(1, "IMP_NRAND", "EDIT_NONE");
    settings(2, "IMP_NRAND", "EDIT_NONE");
    ASSERT_EQ(command("select sfr -f F0 F1 F2"), 0);
    ASSERT_EQ(command(impute_run), 0);
    EXPECT_EQ(command("runcmd impute.cmd 2 3 0 -10000 5 0.5 0.001 20 3 0 1 0"), KRT_ERR_SYNTAX);
    void* values = nullptr;
    int count = 0;
    EXPECT_EQ(get_field_ptr("output", 0, &values, &count), KRT_ERR_NO_OBJECT);  // a failed run leaves none
    EXPECT_EQ(command("runcmd impute.cmd 4 3 0 -10000 5 0.5 0.001 20 3 0 1 0 0"), KRT_ERR_VALUE);  // dimension
    EXPECT_EQ(command("runcmd impute.cmd 2 3 0 -10000 5 1.5 0.001 20 3 0 1 0 0"), KRT_ERR_VALUE);  // rate
    EXPECT_EQ(command("runcmd impute.cmd 2 3 0 -10000 5 0.5 0.001 20 3 0 1 3 0"), KRT_ERR_VALUE);  // layer
    EXPECT_EQ(command("runcmd impute.cmd 2 3 0 -10000 5 0.5 x 20 3 0 1 0 0"), KRT_ERR_SYNTAX);
    ASSERT_EQ(command("select sfr -f F0 F1"), 0);  // two settings for three fields
    EXPECT_EQ(command(impute_run), KRT_ERR_DATA);
    ASSERT_EQ(command("setdata -f F2 -t string -vals 0=IMP_SOMETIMES ;"), 0);
    ASSERT_EQ(command("select sfr -f F0 F1 F2"), 0);
    EXPECT_EQ(command(impute_run), KRT_ERR_VALUE);
    settings(2, "IMP_NRAND", "EDIT_NONE");
    EXPECT_EQ(command(impute_run), 0);
    ASSERT_EQ(command("rm data"), 0);
    EXPECT_EQ(command(impute_run), KRT_ERR_NO_OBJECT);
    command("rm sfr F0 F1 F2");
}

class EngineRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        table_ = clusters(300);
        const double nan = std::nan("");
        for (int r : missing_rows) table_.at(r, 2) = nan;
        table_.at(40, 0) = nan;  // a record whose only gap is an IMP_NONE variable
    }
    void TearDown() override { command("rm sfr F0 F1 F2"); }

    void prepare(const char* edit2 = "EDIT_NONE")
    {
        push(table_);
        settings(0, "IMP_NONE", "EDIT_NONE");
        settings(1, "IMP_NRAND", "EDIT_NONE");
        settings(2, "IMP_NRAND", edit2);
        ASSERT_EQ(command("select sfr -f F0 F1 F2"), 0);
    }

    static constexpr int missing_rows[6] = {3, 50, 101, 155, 202, 299};
    krt::Table table_;
};

TEST_F(EngineRun, ImputationFillsExactlyTheMissingValuesFromTheRecordsOwnCluster)
{
    prepare();
    ASSERT_EQ(command(impute_run), 0);
    const Frame out = fetch("output", 3);
    EXPECT_EQ(out.rows, std::vector<int>(std::begin(missing_rows), std::end(missing_rows)));
    for (std::size_t i = 0; i < out.rows.size(); ++i) {
        const int r = out.rows[i];
        EXPECT_EQ(out.fields[0][i], static_cast<float>(table_.at(r, 0)));
        EXPECT_EQ(out.fields[1][i], static_cast<float>(table_.at(r, 1)));
        // A donor of the record's unit: a value of its own cluster.
        EXPECT_NEAR(out.fields[2][i], 1.0 + 4.0 * (r % 3), 0.5) << "record " << r;
    }
}

TEST_F(EngineRun, TheSameSeedGivesTheSameImputations)
{
    prepare();
    ASSERT_EQ(command(impute_run), 0);
    const Frame first = fetch("output", 3);
    ASSERT_EQ(command(impute_run), 0);
    const Frame second = fetch("output", 3);
    EXPECT_EQ(first.rows, second.rows);
    EXPECT_EQ(first.fields, second.fields);
    ASSERT_EQ(command("runcmd impute.cmd 2 3 12345 -10000 5 0.5 0.001 20 3 0 1 0 0"), 0);
    const Frame other = fetch("output", 3);
    EXPECT_EQ(other.rows, first.rows);
}

TEST_F(EngineRun, DonorsComeFromTheUnitAboveWhenTheUnitHasNone)
{
    // Only the first cluster knows variable 2 (counted from 0); training
    // on every record, the other clusters' units have no donors for it.
    for (int r = 0; r < table_.records; ++r)
        if (r % 3 != 0) table_.at(r, 2) = std::nan("");
    prepare();
    ASSERT_EQ(command("runcmd impute.cmd 2 3 0 -10000 5 0.5 0.001 20 3 0 1 0 1"), 0);
    const Frame out = fetch("output", 3);
    EXPECT_EQ(out.rows.size(), 200u + 1u);  // the other clusters, and row 3 of the first
    for (float v : out.fields[2]) EXPECT_NEAR(v, 1.0, 0.5);
}

TEST_F(EngineRun, AVariableWithoutAnyDonorStaysMissingAndTheRunSaysSo)
{
    for (int r = 0; r < table_.records; ++r) table_.at(r, 1) = r == 0 ? 2.0 : std::nan("");
    table_.at(0, 1) = std::nan("");
    prepare();
    EXPECT_EQ(command("runcmd impute.cmd 2 3 0 -10000 5 0.5 0.001 20 3 0 1 0 1"), KRT_RESULT_NOTE);
    const Frame out = fetch("output", 3);
    for (float v : out.fields[1]) EXPECT_EQ(v, -10000.0f);
}

TEST_F(EngineRun, EditingFindsPlantedErrorsAndCanReplaceThem)
{
    const int planted[3] = {10, 111, 212};
    for (int r : planted) table_.at(r, 2) += 3.0;
    prepare("EDIT_CONTINUOUS");
    ASSERT_EQ(command("runcmd edit.cmd 2 3 0 -10000 5 0.5 0.001 20 3 0 1 0 1 0 1.0 3.0"), 0);
    const Frame errors = fetch("errors", 3);
    for (int r : planted) {
        const auto at = std::find(errors.rows.begin(), errors.rows.end(), r);
        ASSERT_NE(at, errors.rows.end()) << "record " << r;
        const std::size_t i = static_cast<std::size_t>(at - errors.rows.begin());
        EXPECT_GT(errors.fields[2][i], 0.99f);
        EXPECT_EQ(errors.fields[0][i], 0.0f);  // EDIT_NONE
    }
    EXPECT_LE(errors.rows.size(), 3u + 3u);
    EXPECT_TRUE(fetch("output", 3).rows.empty());  // editing alone changes nothing

    ASSERT_EQ(command("runcmd edit.cmd 2 3 0 -10000 5 0.5 0.001 20 3 0 1 0 1 1 1.0 3.0"), 0);
    const Frame out = fetch("output", 3);
    for (int r : planted) {
        const auto at = std::find(out.rows.begin(), out.rows.end(), r);
        ASSERT_NE(at, out.rows.end()) << "record " << r;
        EXPECT_NEAR(out.fields[2][static_cast<std::size_t>(at - out.rows.begin())], 1.0 + 4.0 * (r % 3), 0.5);
    }
    for (int r : missing_rows) EXPECT_NE(std::find(out.rows.begin(), out.rows.end(), r), out.rows.end());
    EXPECT_TRUE(std::is_sorted(out.rows.begin(), out.rows.end()));
}

}  // namespace
