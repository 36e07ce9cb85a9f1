// A caller's data matrix as the routines that only read it see it: records
// by variables, row-major, a cell missing when it equals the missing code.
#pragma once

#include <cstddef>

namespace kest {

struct DataMatrix {
    const double* data;
    int num_recs;
    int num_vars;
    double missing_code;

    double at(int record, int variable) const noexcept
    {
        return data[static_cast<std::size_t>(record) * static_cast<std::size_t>(num_vars) +
                    static_cast<std::size_t>(variable)];
    }
    bool missing(int record, int variable) const noexcept { return at(record, variable) == missing_code; }
};

}  // namespace kest
