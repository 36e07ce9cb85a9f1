// Working storage that cannot be obtained: every export that needs storage
// must report 99 and release what it had, whichever allocation fails, and the
// writer must leave the data file as it was.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "data_set_text.h"
#include "../support/allocation_budget.h"
#include "kest.h"
#include "test_files.h"

namespace {

using allocation_budget::budget;
using allocation_budget::live;

using namespace kest_test;
using Pair = std::array<int, 2>;

// Runs call with 0, 1, 2, ... allocations allowed until it succeeds; every
// earlier run must report 99 and leave no allocation behind.
template <class Call, class Check>
void fail_each_allocation(Call call, Check after_failure)
{
    for (long allowed = 0; allowed < 100000; ++allowed) {
        const long before = live;
        Pair error = {-77, -77};
        budget = allowed;
        call(error);
        budget = -1;
        ASSERT_EQ(live, before) << "allocations left behind with " << allowed << " allowed";
        if (error[0] == 0 || error[0] < 0) {
            ASSERT_GT(allowed, 0) << "the call needs no storage at all";
            return;
        }
        ASSERT_EQ(error, (Pair{KEST_ERR_NO_MEMORY, 0})) << "with " << allowed << " allocations allowed";
        after_failure(allowed);
        if (testing::Test::HasFatalFailure()) return;
    }
    FAIL() << "the call never succeeded";
}

struct Files {
    ScratchDir dir;
    std::string data = dir.file("d.xml"), schema = dir.file("d.xdr"), xsl = dir.file("d.xsl"), text = dir.file("in.txt");
    Files()
    {
        std::vector<std::string> records;
        for (int r = 0; r < 3; ++r)
            records.push_back(record_line("D", cell("x", "Valid", std::to_string(r)) + cell("yy", "Validn", "-1.5") +
                                                   missing_cell("z")));
        write_file(schema, schema_text("D", 3, {{"x"}, {"yy", true, {1, 2}}, {"z"}}));
        write_file(data, data_text(xsl, schema, records));
        write_file(text, "1,2,3\n4,,6\n");
    }
};

TEST(NoMemoryTest, XmlDataSize)
{
    Files f;
    int a = 0, b = 0, c = 0;
    fail_each_allocation([&](Pair& e) { xml_data_size(f.schema.c_str(), &a, &b, &c, e.data()); }, [](long) {});
    EXPECT_EQ(b, 3);
}

TEST(NoMemoryTest, XmlRead)
{
    Files f;
    std::vector<double> data(9);
    std::vector<std::vector<char>> buffers(3, std::vector<char>(8));
    std::vector<char*> names = {buffers[0].data(), buffers[1].data(), buffers[2].data()};
    std::vector<int> ncat(3), codes(6);
    int n_missing = 0;
    fail_each_allocation(
        [&](Pair& e) {
            xml_read(f.data.c_str(), f.schema.c_str(), -1.0, 3, 3, data.data(), names.data(), ncat.data(),
                     codes.data(), 2, 2, &n_missing, e.data());
        },
        [](long) {});
    EXPECT_EQ(data, (std::vector<double>{0, -1.5, -1, 1, -1.5, -1, 2, -1.5, -1}));
}

TEST(NoMemoryTest, XmlUpdateLeavesTheFileAsItWas)
{
    Files f;
    const std::string before = read_file(f.data);
    const auto entries = f.dir.entries_but_locks();
    const int recs[] = {0, 2, -1}, vars[] = {1, 0, -1};
    const double vals[] = {7, 8};
    fail_each_allocation(
        [&](Pair& e) {
            xml_update(f.data.c_str(), f.schema.c_str(), f.xsl.c_str(), -1.0, 3, 3, 1, 2, recs, vars, vals, e.data());
        },
        [&](long allowed) {
            ASSERT_EQ(read_file(f.data), before) << "with " << allowed << " allocations allowed";
            ASSERT_EQ(f.dir.entries_but_locks(), entries) << "with " << allowed << " allocations allowed";
        });
    if (HasFatalFailure()) return;
    EXPECT_NE(read_file(f.data).find("<yy Status='Imputed'>7</yy>"), std::string::npos);
    EXPECT_EQ(f.dir.entries_but_locks(), entries);
}

TEST(NoMemoryTest, DataConv)
{
    Files f;
    fail_each_allocation(
        [&](Pair& e) {
            char dataset[] = "D";
            std::string a = "a", b = "b", c = "c";
            char* names[] = {a.data(), b.data(), c.data()};
            const int zeros[] = {0, 0, 0};
            data_conv(dataset, f.text.c_str(), f.data.c_str(), f.xsl.c_str(), f.schema.c_str(), 2, 3, 2, 0.0, 0, names,
                      zeros, zeros, zeros, 1, e.data());
        },
        [](long) {});
    EXPECT_NE(read_file(f.data).find(missing_cell("b")), std::string::npos);
}

}  // namespace
