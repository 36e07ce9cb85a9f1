// xml_update on any data file and schema (a copy written for each input),
// with a change list over the cells the schema declares, then a read of
// what was written.
#include "fuzz_data_set.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const auto parts = fuzz::split(data, size, 2);
    const std::string data_file = fuzz::path_of("u.xml");
    const std::string schema = fuzz::path_of("u.xdr");
    const std::string stylesheet = fuzz::path_of("u.xsl");
    fuzz::write_file(data_file, parts[0]);
    fuzz::write_file(schema, parts[1]);
    fuzz::DataSet ds;
    if (!ds.size_from(schema)) return 0;

    // Every third cell, in row-major order, changed by the mode the input's
    // length picks; the list ends with -1 in both arrays.
    std::vector<int> recs, vars;
    std::vector<double> vals;
    for (int r = 0; r < ds.num_obs; ++r)
        for (int v = 0; v < ds.num_vars; ++v)
            if ((r * ds.num_vars + v) % 3 == 0) {
                recs.push_back(r);
                vars.push_back(v);
                vals.push_back(r * 0.5 - v);
            }
    recs.push_back(-1);
    vars.push_back(-1);
    vals.push_back(0.0);
    const int mode = 1 + static_cast<int>(size % 4);
    int error[2] = {0, 0};
    xml_update(data_file.c_str(), schema.c_str(), stylesheet.c_str(), -1e30, ds.num_obs, ds.num_vars, mode,
               static_cast<int>(recs.size()) - 1, recs.data(), vars.data(), vals.data(), error);
    if (error[0] <= 0) ds.read(data_file, schema, 5);
    return 0;
}
