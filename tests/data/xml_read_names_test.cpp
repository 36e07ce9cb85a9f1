// The names xml_read writes always fit the buffers sized by xml_data_size,
// whatever the schema declares before its observations line.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "data_set_text.h"
#include "kest.h"
#include "test_files.h"

namespace {

using namespace kest_test;
using Pair = std::array<int, 2>;

struct Outcome {
    Pair error = {-77, -77};
    std::vector<std::string> names;
};

// Sizes the schema, then reads with name buffers of exactly that size
// (heap blocks, so that a longer name would be caught by the sanitizers).
Outcome read_with_sized_buffers(const std::string& data_path, const std::string& schema_path)
{
    Outcome o;
    int num_obs = 0, num_vars = 0, name_size = 0;
    Pair sized = {0, 0};
    xml_data_size(schema_path.c_str(), &num_obs, &num_vars, &name_size, sized.data());
    if (sized[0] != 0 || num_vars < 1) {
        o.error = sized;
        return o;
    }
    std::vector<std::vector<char>> buffers(static_cast<std::size_t>(num_vars),
                                           std::vector<char>(static_cast<std::size_t>(name_size), '#'));
    std::vector<char*> names;
    for (auto& b : buffers) names.push_back(b.data());
    std::vector<double> data(static_cast<std::size_t>(num_obs * num_vars));
    std::vector<int> ncat(static_cast<std::size_t>(num_vars)), codes(static_cast<std::size_t>(num_vars) * 4);
    int n_missing = 0;
    xml_read(data_path.c_str(), schema_path.c_str(), -999.0, num_obs, num_vars, data.data(), names.data(),
             ncat.data(), codes.data(), 4, 5, &n_missing, o.error.data());
    for (auto& b : buffers) o.names.emplace_back(b.data(), strnlen(b.data(), b.size()));
    return o;
}

TEST(XmlReadNames, ADeclarationBeforeTheObservationsLineCannotOverrunTheNameBuffers)
{
    ScratchDir dir;
    const std::vector<Variable> vars = {{"a"}, {"b"}};
    const std::string data_path = dir.file("d.xml");
    const std::string schema_path = dir.file("d.xdr");
    const std::string record = record_line("D", cell("a", "Valid", "1") + cell("b", "Valid", "2"));
    write_file(data_path, data_text(dir.file("d.xsl"), schema_path, {record}));

    // As written by the converter, the names fit.
    const std::string schema = schema_text("D", 1, vars);
    write_file(schema_path, schema);
    const Outcome plain = read_with_sized_buffers(data_path, schema_path);
    EXPECT_EQ(plain.error, (Pair{0, 0}));
    EXPECT_EQ(plain.names, (std::vector<std::string>{"a", "b"}));

    // A long declaration ahead of the observations line: the reader takes
    // it and "a" as the two variables and "b" as the record type, while the
    // sizing counts the declarations from "a" on.  Record lines of type "b"
    // make everything else readable.
    const std::string marker = "<?Number of observations";
    const std::size_t at = schema.find(marker);
    ASSERT_NE(at, std::string::npos);
    const std::string long_name = "a_name_far_longer_than_any_declared_later";
    const std::string early =
        "<ElementType name=\"" + long_name + "\" content=\"textOnly\" dt:type=\"r8\" >\n";
    write_file(schema_path, schema.substr(0, at) + early + schema.substr(at));
    write_file(data_path, data_text(dir.file("d.xsl"), schema_path, {"<b>" + cell(long_name, "Valid", "1") + cell("a", "Valid", "2") + "</b>\n"}));
    const Outcome shifted = read_with_sized_buffers(data_path, schema_path);
    EXPECT_EQ(shifted.error, (Pair{KEST_ERR_NAME_SIZE, 0}));
    // Any other shape of the same fault fails before a name is written.
    write_file(data_path, data_text(dir.file("d.xsl"), schema_path, {record}));
    EXPECT_NE(read_with_sized_buffers(data_path, schema_path).error[0], 0);
}

}  // namespace
