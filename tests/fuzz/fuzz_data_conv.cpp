// data_conv on any text file: the first line of the input gives the
// settings (records, variables, delimiter, header lines, which variables are
// categorical), the rest is the text file.
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "kest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t line_end = input.find('\n');
    if (line_end == std::string_view::npos) return 0;
    int num_obs = 0, num_vars = 0, delim = 0, header = 0;
    unsigned categorical = 0;
    const std::string settings(input.substr(0, line_end));
    if (std::sscanf(settings.c_str(), "%d %d %d %d %u", &num_obs, &num_vars, &delim, &header, &categorical) != 5)
        return 0;
    // Sizes a fuzzing run can afford; the routine's own checks see the rest.
    if (num_obs > 2000 || num_vars > 64 || header > 100) return 0;

    const std::string text = fuzz::path_of("c.txt");
    fuzz::write_file(text, input.substr(line_end + 1));
    const int vars = num_vars > 0 ? num_vars : 0;
    constexpr int row_length = 4;
    std::vector<std::string> name_texts;
    std::vector<char*> names;
    std::vector<int> flags, counts, table;
    for (int j = 0; j < vars; ++j) {
        name_texts.push_back("v " + std::to_string(j));
        flags.push_back((categorical >> (j % 32)) & 1u ? 2 : 0);
        counts.push_back(j % (row_length + 1));
        for (int k = 0; k < row_length; ++k) table.push_back(k + 1);
    }
    for (std::string& n : name_texts) names.push_back(n.data());
    char dataset[] = "fuzz set";
    int error[2] = {0, 0};
    data_conv(dataset, text.c_str(), fuzz::path_of("c.xml").c_str(), fuzz::path_of("c.xsl").c_str(),
              fuzz::path_of("c.xdr").c_str(), num_obs, num_vars, delim, -1e9, header, names.data(), flags.data(),
              counts.data(), table.data(), row_length, error);
    return 0;
}
