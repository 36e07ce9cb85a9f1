// The reference engine's command language: every line of the input is one
// command, run against a small "data" frame.  Afterwards every word of the
// input is removed as a name, so that what one input creates does not
// outlive it.
#include <sstream>
#include <string>
#include <vector>

#include "krt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size > 4096) return 0;  // a few commands are enough; long inputs only repeat them
    const std::string text(reinterpret_cast<const char*>(data), size);
    create_new_frame("data");
    std::vector<float> first, second;
    for (int i = 0; i < 24; ++i) {
        first.push_back(i % 7 == 3 ? -10000.0f : 0.25f + 0.02f * static_cast<float>(i));
        second.push_back(i % 5 == 1 ? -10000.0f : 1.0f - 0.03f * static_cast<float>(i));
    }
    krt_insert_ffield("data", "var1", 24, first.data());
    krt_insert_ffield("data", "var2", 24, second.data());

    char reply[256];
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) run_KRT_command(line.c_str(), reply, sizeof reply);
    for (const char* frame : {"output", "errors", "data"}) {
        void* values = nullptr;
        int count = 0;
        for (int field = 0; field < 4; ++field) get_field_ptr(frame, field, &values, &count);
    }

    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        run_KRT_command(("rm " + word).c_str(), reply, sizeof reply);
        // A command's last word loses a trailing ";".
        if (word.size() > 1 && word.back() == ';') {
            word.pop_back();
            run_KRT_command(("rm " + word).c_str(), reply, sizeof reply);
        }
    }
    run_KRT_command("rm data output errors sfr", reply, sizeof reply);
    return 0;
}
