// xml_read on any data file and schema: the input holds the data file, the
// separator line and the schema.
#include "fuzz_data_set.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const auto parts = fuzz::split(data, size, 2);
    const std::string data_file = fuzz::path_of("s.xml");
    const std::string schema = fuzz::path_of("s.xdr");
    fuzz::write_file(data_file, parts[0]);
    fuzz::write_file(schema, parts[1]);
    fuzz::DataSet ds;
    if (!ds.size_from(schema)) return 0;
    // The status limit comes from the input's length, so that every limit
    // gets its share of the inputs.
    const int limits[] = {1, 2, 3, 4, 5, -1, -3, -5};
    ds.read(data_file, schema, limits[size % 8]);
    return 0;
}
