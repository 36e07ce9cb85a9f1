// read_rep on any report file: the sizing pass, then, when it succeeds with
// a total a fuzzing run can afford, the reading pass, whose lists carry a
// guard entry that must stay untouched.
#include <cstdlib>
#include <vector>

#include "fuzz_support.h"
#include "kest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string file = fuzz::path_of("r.rep");
    fuzz::write_file(file, std::string_view(reinterpret_cast<const char*>(data), size));
    int num_recs = -1, total = -1, error[2] = {0, 0};
    read_rep(file.c_str(), 0, &num_recs, &total, nullptr, nullptr, error);
    if (error[0] != 0 || total < 1 || total > 100000) return 0;
    constexpr int guard = -12345;
    std::vector<int> recs(static_cast<std::size_t>(total) + 1, guard), vars(static_cast<std::size_t>(total) + 1, guard);
    // A total one short of the file's must be refused without overrunning.
    for (int given : {total, total - 1}) {
        if (given < 1) continue;
        recs.assign(static_cast<std::size_t>(given) + 1, guard);
        vars.assign(static_cast<std::size_t>(given) + 1, guard);
        int records = num_recs;
        error[0] = error[1] = 0;
        read_rep(file.c_str(), 1, &records, &given, recs.data(), vars.data(), error);
        if (recs.back() != guard || vars.back() != guard) std::abort();
    }
    return 0;
}
