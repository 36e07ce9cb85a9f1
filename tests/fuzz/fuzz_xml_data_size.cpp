// xml_data_size on any schema file.
#include "fuzz_support.h"
#include "kest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string schema = fuzz::path_of("s.xdr");
    fuzz::write_file(schema, std::string_view(reinterpret_cast<const char*>(data), size));
    int num_obs = -1, num_vars = -1, name_size = -1, error[2] = {0, 0};
    xml_data_size(schema.c_str(), &num_obs, &num_vars, &name_size, error);
    return 0;
}
