// Calling a plug-in on a data set.  The plug-ins write the schema and
// stylesheet paths they are given into the rewritten data file, so they
// are called from the data file's folder with the paths as seen from
// there: the references stay relative to the data file, as the converter
// wrote them.
#pragma once

#include <functional>
#include <string>

#include "data_set.h"

namespace kest_cli {

struct PluginPaths {
    std::string data, schema, stylesheet;
};

// Runs call with the paths as seen from the data file's folder, from
// within that folder, and returns its result.  Throws DataSetFailure when
// the folder cannot be entered or left.
int call_from_data_folder(const DataSetFiles& f, const std::string& stylesheet,
                          const std::function<int(const PluginPaths&)>& call);

}  // namespace kest_cli
