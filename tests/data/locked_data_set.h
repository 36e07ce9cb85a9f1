// A small data set for the tests of its lock, with the calls that read,
// update and lock it.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "data_set_text.h"
#include "kest.h"
#include "test_files.h"

namespace kest_test {

using Pair = std::array<int, 2>;

constexpr double M = -999.0;

struct DataSet {
    std::string data, schema, xsl;
    int num_obs, num_vars;

    DataSet(const ScratchDir& dir, int records, int variables, const std::string& text_of_every_cell)
        : data(dir.file("d.xml")), schema(dir.file("d.xdr")), xsl(dir.file("d.xsl")), num_obs(records),
          num_vars(variables)
    {
        std::vector<Variable> vars;
        for (int j = 0; j < variables; ++j) vars.emplace_back("v" + std::to_string(j));
        std::string cells;
        for (int j = 0; j < variables; ++j)
            cells += text_of_every_cell.empty() ? missing_cell("v" + std::to_string(j))
                                                : cell("v" + std::to_string(j), "Valid", text_of_every_cell);
        write_file(schema, schema_text("D", records, vars));
        write_file(data, data_text(xsl, schema, std::vector<std::string>(records, record_line("D", cells))));
    }

    Pair update(int record, int variable, double value) const
    {
        const int recs[] = {record, -1}, vars[] = {variable, -1};
        const double vals[] = {value, 0};
        Pair error = {-77, -77};
        xml_update(data.c_str(), schema.c_str(), xsl.c_str(), M, num_obs, num_vars, 1, record < 0 ? 0 : 1, recs, vars,
                   vals, error.data());
        return error;
    }

    Pair read(std::vector<double>& values) const
    {
        values.assign(static_cast<std::size_t>(num_obs) * num_vars, 0.0);
        std::vector<int> ncat(static_cast<std::size_t>(num_vars)), codes(static_cast<std::size_t>(num_vars));
        int n_missing = 0;
        Pair error = {-77, -77};
        xml_read(data.c_str(), schema.c_str(), M, num_obs, num_vars, values.data(), nullptr, ncat.data(), codes.data(),
                 1, 5, &n_missing, error.data());
        return error;
    }
};

inline Pair lock(const std::string& schema, int mode, int wait_ms, KestLock** held)
{
    Pair error = {-77, -77};
    xml_lock(schema.c_str(), mode, wait_ms, held, error.data());
    return error;
}

}  // namespace kest_test
