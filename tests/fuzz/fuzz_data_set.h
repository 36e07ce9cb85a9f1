// The sizes and buffers of one data set as the readers see it: the schema
// is read with xml_data_size, and data sets too large for a fuzzing run are
// passed over.
#pragma once

#include <string>
#include <vector>

#include "kest.h"

namespace fuzz {

struct DataSet {
    int num_obs = 0, num_vars = 0, name_size = 0;
    static constexpr int max_cats = 8;
    std::vector<double> values;
    std::vector<std::vector<char>> name_buffers;
    std::vector<char*> names;
    std::vector<int> ncat, codes;

    // False when the schema is refused or the data set is too large.
    bool size_from(const std::string& schema)
    {
        int error[2] = {0, 0};
        xml_data_size(schema.c_str(), &num_obs, &num_vars, &name_size, error);
        if (error[0] != 0) return false;
        if (num_obs < 1 || num_vars < 1 || name_size < 1 || name_size > 4096) return false;
        if (static_cast<long long>(num_obs) * num_vars > 20000) return false;
        values.assign(static_cast<std::size_t>(num_obs) * num_vars, 0.0);
        name_buffers.assign(static_cast<std::size_t>(num_vars), std::vector<char>(static_cast<std::size_t>(name_size)));
        names.clear();
        for (auto& b : name_buffers) names.push_back(b.data());
        ncat.assign(static_cast<std::size_t>(num_vars), 0);
        codes.assign(static_cast<std::size_t>(num_vars) * max_cats, 0);
        return true;
    }

    void read(const std::string& data_file, const std::string& schema, int status_limit)
    {
        int n_missing = 0, error[2] = {0, 0};
        xml_read(data_file.c_str(), schema.c_str(), -1e30, num_obs, num_vars, values.data(), names.data(),
                 ncat.data(), codes.data(), max_cats, status_limit, &n_missing, error);
    }
};

}  // namespace fuzz
