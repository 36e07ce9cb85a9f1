#include "cell_status.h"

#include <algorithm>
#include <string>

#include "kest.h"
#include "messages.h"
#include "options.h"

namespace kest_cli {

ValuesUsed values_used(const std::string* given)
{
    if (given == nullptr || *given == "observed") return ValuesUsed::observed;
    if (*given == "all") return ValuesUsed::all;
    throw UsageError("--values must be observed or all, not '" + *given + "'");
}

// The reader only tells whether a cell is read as a value under a status
// limit; the limits 1, -2, -3, -4 and 2 each add one status (Valid,
// Imputed, Suspect, Error, Validn), and what none of them reads is Missing.
std::vector<StatusColumn> read_cell_statuses(const Records& rec) { return read_cell_states(rec).statuses; }

CellStates read_cell_states(const Records& rec)
{
    DataSet d;
    size_data_set(rec.files, d);
    d.max_cats = std::max(1, rec.vars.row_length);
    const std::size_t cells = rec.data.size();
    CellStates states{std::vector<double>(cells, missing_code), std::vector<StatusColumn>(cells, missing)};
    std::vector<bool> known(cells, false);
    const std::pair<int, StatusColumn> passes[] = {{1, valid}, {-2, imputed}, {-3, suspect}, {-4, error}, {2, validn}};
    std::vector<double> values(cells);
    for (const auto& [limit, added] : passes) {
        d.codes.assign(static_cast<std::size_t>(d.num_vars) * static_cast<std::size_t>(d.max_cats), 0);
        int n_missing = 0;
        int err[2] = {0, 0};
        xml_read(rec.files.data.c_str(), rec.files.schema.c_str(), missing_code, rec.count, rec.vars.count(),
                 values.data(), d.names.list, d.ncat.data(), d.codes.data(), d.max_cats, limit, &n_missing, err);
        if (err[0] > 0)
            throw DataSetFailure{describe_failure(Export::xml_read, err[0], err[1],
                                                  MessageContext{{}, rec.files.data, rec.files.schema, {}, 0, {}, {}, 0, {}})};
        for (std::size_t i = 0; i < cells; ++i)
            if (!known[i] && values[i] != missing_code) {
                states.statuses[i] = added;
                states.values[i] = values[i];
                known[i] = true;
            }
    }
    return states;
}

FittingData fitting_data(const Records& rec, ValuesUsed used)
{
    FittingData f{rec, read_cell_statuses(rec), 0};
    if (used == ValuesUsed::all) return f;
    for (std::size_t i = 0; i < f.values.data.size(); ++i) {
        const StatusColumn s = f.statuses[i];
        if (s == valid || s == validn || s == missing) continue;
        f.values.data[i] = missing_code;
        ++f.hidden;
    }
    f.values.missing += f.hidden;
    return f;
}

void keep_missing_cells(std::vector<Cell>& cells, const FittingData& f)
{
    std::erase_if(cells, [&f](const Cell& c) { return !f.was_missing(c.record, c.variable); });
}

int weight_column(const Records& rec, const std::string& name)
{
    const int j = variable_index(rec.vars, name, "the weight variable");
    if (rec.vars.categorical(j)) throw UsageError("the weight variable '" + name + "' is categorical");
    return j;
}

std::vector<double> record_weights(const Records& rec, int column)
{
    std::vector<double> weights(static_cast<std::size_t>(rec.count));
    const std::string& name = rec.vars.names[static_cast<std::size_t>(column)];
    for (int r = 0; r < rec.count; ++r) {
        const double w = rec.at(r, column);
        if (w == missing_code)
            throw DataSetFailure{"record " + std::to_string(r + 1) + " has no weight (" + name + " is not an observed value)"};
        if (!(w >= 0)) throw DataSetFailure{"record " + std::to_string(r + 1) + " has the negative weight " + std::to_string(w)};
        weights[static_cast<std::size_t>(r)] = w;
    }
    return weights;
}

}  // namespace kest_cli
