// A recording analysis engine for the tests, built as libkrt.so in a folder
// of its own.  Every call is appended as one line to the file named by
// KRT_RECORDING_LOG; results are scripted in the file named by
// KRT_RECORDING_SCRIPT, read anew at every call, so that the engine serves
// a test in the same process and a program the test starts alike.
//
// Log lines:
//   command TEXT                 (run_KRT_command; " [reply N]" appended
//                                 when the reply size is not 4096)
//   create_new_frame FRAME
//   krt_insert_ffield FRAME FIELD COUNT V0 V1 ...   (values as %.9g)
//   get_field_ptr FRAME INDEX
// Script lines (fields separated by one tab):
//   result<TAB>N<TAB>LOG LINE    the call whose log line (for inserts: up to
//                                the count) is LOG LINE returns N
//   result<TAB>N<TAB>LOG LINE<TAB>K
//                                only the K-th such call (counted from 1)
//                                returns N
//   field<TAB>FRAME<TAB>INDEX<TAB>int|float<TAB>V0 V1 ...
//                                what get_field_ptr lends for that field
// Unscripted calls return 0; get_field_ptr also lends the fields inserted
// with krt_insert_ffield and answers 3 for anything else.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "recording_engine.h"

namespace {

struct Lent {
    std::vector<int> ints;
    std::vector<float> floats;
    bool is_int = false;
};

std::map<std::pair<std::string, int>, Lent> inserted;
Lent lent;  // what the last get_field_ptr handed out

void record(const std::string& line)
{
    const char* path = std::getenv("KRT_RECORDING_LOG");
    if (path == nullptr) return;
    std::ofstream(path, std::ios::app) << line << "\n";
}

std::vector<std::vector<std::string>> script()
{
    std::vector<std::vector<std::string>> lines;
    const char* path = std::getenv("KRT_RECORDING_SCRIPT");
    if (path == nullptr) return lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> parts;
        std::size_t start = 0;
        for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
            parts.push_back(line.substr(start, tab - start));
        parts.push_back(line.substr(start));
        lines.push_back(std::move(parts));
    }
    return lines;
}

// How many calls with this key the log holds, this one included.
int occurrence(const std::string& key)
{
    const char* path = std::getenv("KRT_RECORDING_LOG");
    if (path == nullptr) return 0;
    std::ifstream in(path);
    const bool has_values = key.rfind("krt_insert_ffield ", 0) == 0;  // the log line goes on with them
    int count = 0;
    for (std::string line; std::getline(in, line);)
        if (line == key || (has_values && line.rfind(key + " ", 0) == 0)) ++count;
    return count;
}

int scripted_result(const std::string& key)
{
    for (const auto& parts : script()) {
        if (parts.size() < 3 || parts[0] != "result" || parts[2] != key) continue;
        if (parts.size() == 3 || std::atoi(parts[3].c_str()) == occurrence(key)) return std::atoi(parts[1].c_str());
    }
    return 0;
}

bool scripted_field(const std::string& frame, int index, Lent& field)
{
    for (const auto& parts : script()) {
        if (parts.size() != 5 || parts[0] != "field" || parts[1] != frame || std::atoi(parts[2].c_str()) != index)
            continue;
        field = Lent{};
        field.is_int = parts[3] == "int";
        std::istringstream values(parts[4]);
        for (double v; values >> v;) {
            if (field.is_int) field.ints.push_back(static_cast<int>(v));
            else field.floats.push_back(static_cast<float>(v));
        }
        return true;
    }
    return false;
}

std::string text(const char* s) { return s != nullptr ? s : "(null)"; }

}  // namespace

extern "C" int krt_recording_engine() { return 1; }

extern "C" int run_KRT_command(const char* command, char* reply, int reply_size)
{
    std::string line = "command " + text(command);
    const std::string key = line;
    if (reply_size != 4096) line += " [reply " + std::to_string(reply_size) + "]";
    record(line);
    if (reply != nullptr && reply_size > 0) reply[0] = '\0';
    return scripted_result(key);
}

extern "C" int create_new_frame(const char* frame)
{
    const std::string line = "create_new_frame " + text(frame);
    record(line);
    for (auto it = inserted.begin(); it != inserted.end();)
        it = it->first.first == text(frame) ? inserted.erase(it) : std::next(it);
    return scripted_result(line);
}

extern "C" int krt_insert_ffield(const char* frame, const char* field, int count, const float* values)
{
    const std::string key = "krt_insert_ffield " + text(frame) + " " + text(field) + " " + std::to_string(count);
    std::string line = key;
    Lent copy;
    for (int i = 0; i < count && values != nullptr; ++i) {
        char number[32];
        std::snprintf(number, sizeof number, " %.9g", static_cast<double>(values[i]));
        line += number;
        copy.floats.push_back(values[i]);
    }
    record(line);
    const int result = scripted_result(key);
    if (result == 0) {
        int index = 0;
        for (const auto& entry : inserted)
            if (entry.first.first == text(frame)) ++index;
        inserted[{text(frame), index}] = std::move(copy);
    }
    return result;
}

extern "C" int krt_insert_ifield(const char*, const char*, int, const int*) { return 0; }
extern "C" int krt_insert_sfield(const char*, const char*, int, const char* const*) { return 0; }

extern "C" int get_field_ptr(const char* frame, int index, void** values, int* count)
{
    const std::string line = "get_field_ptr " + text(frame) + " " + std::to_string(index);
    record(line);
    const int result = scripted_result(line);
    if (result != 0) return result;
    if (!scripted_field(text(frame), index, lent)) {
        const auto it = inserted.find({text(frame), index});
        if (it == inserted.end()) return 3;
        lent = it->second;
    }
    *values = lent.is_int ? static_cast<void*>(lent.ints.data()) : static_cast<void*>(lent.floats.data());
    *count = static_cast<int>(lent.is_int ? lent.ints.size() : lent.floats.size());
    return 0;
}
