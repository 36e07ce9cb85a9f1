// The status of every cell of a data set, and the values the methods fit
// on.  By default a method fits on the observed values only - the cells
// marked Valid or Validn - so that values an earlier step imputed (or
// marked Suspect or Error) do not pass for data; --values all takes every
// cell that holds a number.  Either way a method fills only Missing cells:
// a cell an earlier step imputed is never filled again.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "data_set.h"
#include "records.h"

namespace kest_cli {

enum class ValuesUsed { observed, all };

// The value of --values: observed (the default, when given is null) or all.
ValuesUsed values_used(const std::string* given);

// The usage lines of --values, shared by the commands that take it.
inline constexpr std::string_view values_option_usage =
    "  --values WHICH          the values the method fits on: observed, the\n"
    "                          cells marked Valid or Validn (default), or all,\n"
    "                          every cell that holds a number whatever its\n"
    "                          status (values earlier steps imputed, Suspect\n"
    "                          and Error cells too); only Missing cells are\n"
    "                          ever filled\n";

// The status of every cell of the records, row-major.
std::vector<StatusColumn> read_cell_statuses(const Records& rec);

// Every cell's value (missing_code for a Missing cell) and status,
// row-major, as the data file holds them now.
struct CellStates {
    std::vector<double> values;
    std::vector<StatusColumn> statuses;
};
CellStates read_cell_states(const Records& rec);

struct FittingData {
    Records values;                     // the records with the cells not used made missing
    std::vector<StatusColumn> statuses; // of every cell, row-major
    long hidden = 0;                    // cells with a number that were made missing

    bool was_missing(int r, int j) const
    {
        return statuses[static_cast<std::size_t>(r) * values.vars.names.size() + static_cast<std::size_t>(j)] ==
               StatusColumn::missing;
    }
};

// The records as a method fits on them.
FittingData fitting_data(const Records& rec, ValuesUsed used);

// Drops the cells that were not Missing in the data set: a method that
// fits on observed values sees the others as gaps, but they are not its to
// fill.
void keep_missing_cells(std::vector<Cell>& cells, const FittingData& f);

// The numeric variable of record weights named by --weight.
int weight_column(const Records& rec, const std::string& name);

// The weights of every record from that variable: each must be there and
// be 0 or more; otherwise a DataSetFailure names the record.
std::vector<double> record_weights(const Records& rec, int column);

}  // namespace kest_cli
