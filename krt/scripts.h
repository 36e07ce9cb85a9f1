// The engine's two scripts, impute.cmd and edit.cmd: a TS-SOM is trained
// on the frame "data", values are imputed from donors of the record's unit
// and (edit.cmd) values get an error probability from their deviation to
// their unit's prototype.  Results go to the frames "output" and "errors".
#pragma once

#include <string>
#include <vector>

#include "store.h"

namespace krt {

// Runs the script ("impute.cmd" or "edit.cmd") with its positional
// numbers; returns 0, KRT_RESULT_NOTE or a KRT_ERR_* code, and a reply
// text.
int run_script(Store& store, const std::string& script, const std::vector<std::string>& numbers, std::string& reply);

}  // namespace krt
