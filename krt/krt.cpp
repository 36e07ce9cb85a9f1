// The reference analysis engine: the six exports, the namespace of frames
// and the command language.
//
// Commands (a trailing ";" is ignored):
//   setdata -f NAME [-len N] -t string -vals I=TEXT [I=TEXT ...]
//       -len creates the settings frame NAME anew with N empty string
//       values; without it the frame must exist.  Value I becomes TEXT.
//   select NAME -f FRAME [FRAME ...]
//       a selection of settings frames; FRAME k holds the settings of the
//       k-th field of "data".  The scripts use the selection "sfr".
//   runcmd impute.cmd N1 .. N13,  runcmd edit.cmd N1 .. N16   (scripts.cpp)
//   rm NAME [NAME ...]
//       removes frames, settings frames and selections.
// Anything else is answered with KRT_ERR_COMMAND.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "krt.h"
#include "scripts.h"
#include "store.h"

namespace krt {

namespace {

constexpr int most_settings_values = 1000;

std::mutex lock;
Store store;

void put_reply(char* reply, int reply_size, const std::string& text)
{
    if (reply == nullptr || reply_size < 1) return;
    std::snprintf(reply, static_cast<std::size_t>(reply_size), "%s", text.c_str());
}

std::vector<std::string> split_words(const char* command)
{
    std::istringstream in(command);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    if (!words.empty() && words.back() == ";") words.pop_back();
    else if (!words.empty() && words.back().size() > 1 && words.back().back() == ';') words.back().pop_back();
    return words;
}

bool parse_index(const std::string& text, long long most, long long& value)
{
    if (text.empty() || text.size() > 9) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return value <= most;
}

bool is_settings_frame(const Frame& frame)
{
    return !frame.fields.empty() && frame.fields[0].type == FieldType::strings;
}

int setdata(const std::vector<std::string>& words, std::string& reply)
{
    std::string name, type;
    long long length = -1;
    std::vector<std::pair<long long, std::string>> values;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& w = words[i];
        const bool has_next = i + 1 < words.size();
        if (w == "-f" && has_next) name = words[++i];
        else if (w == "-t" && has_next) type = words[++i];
        else if (w == "-len" && has_next) {
            if (!parse_index(words[++i], most_settings_values, length) || length < 1) {
                reply = "setdata: -len must be from 1 to " + std::to_string(most_settings_values);
                return KRT_ERR_VALUE;
            }
        } else if (w == "-vals") {
            for (++i; i < words.size(); ++i) {
                const auto equals = words[i].find('=');
                long long index = 0;
                if (equals == std::string::npos || !parse_index(words[i].substr(0, equals), most_settings_values, index)) {
                    reply = "setdata: '" + words[i] + "' is not INDEX=TEXT";
                    return KRT_ERR_SYNTAX;
                }
                values.emplace_back(index, words[i].substr(equals + 1));
            }
        } else {
            reply = "setdata: unexpected '" + w + "'";
            return KRT_ERR_SYNTAX;
        }
    }
    if (name.empty() || type != "string" || values.empty()) {
        reply = "setdata needs -f NAME, -t string and -vals";
        return KRT_ERR_SYNTAX;
    }
    Frame frame;
    if (length > 0) {
        frame.put(string_field("values", std::vector<std::string>(static_cast<std::size_t>(length))));
    } else {
        const auto it = store.find(name);
        if (it == store.end() || !is_settings_frame(it->second)) {
            reply = "setdata: no settings frame " + name + " (create it with -len)";
            return KRT_ERR_NO_OBJECT;
        }
        frame = it->second;
    }
    auto& strings = frame.fields[0].strings;
    for (const auto& [index, text] : values) {
        if (index >= static_cast<long long>(strings.size())) {
            reply = "setdata: " + name + " has no value " + std::to_string(index);
            return KRT_ERR_VALUE;
        }
        strings[static_cast<std::size_t>(index)] = text;
    }
    store[name] = std::move(frame);
    reply = "ok";
    return 0;
}

int select(const std::vector<std::string>& words, std::string& reply)
{
    if (words.size() < 4 || words[2] != "-f") {
        reply = "select needs NAME -f FRAME ...";
        return KRT_ERR_SYNTAX;
    }
    std::vector<std::string> names(words.begin() + 3, words.end());
    for (const std::string& name : names) {
        const auto it = store.find(name);
        if (it == store.end() || !is_settings_frame(it->second)) {
            reply = "select: no settings frame " + name;
            return KRT_ERR_NO_OBJECT;
        }
    }
    Frame selection;
    selection.put(string_field("frames", std::move(names)));
    store[words[1]] = std::move(selection);
    reply = "ok";
    return 0;
}

int remove(const std::vector<std::string>& words, std::string& reply)
{
    if (words.size() < 2) {
        reply = "rm needs a name";
        return KRT_ERR_SYNTAX;
    }
    for (std::size_t i = 1; i < words.size(); ++i)
        if (store.find(words[i]) == store.end()) {
            reply = "rm: no object " + words[i];
            return KRT_ERR_NO_OBJECT;
        }
    for (std::size_t i = 1; i < words.size(); ++i) store.erase(words[i]);
    reply = "ok";
    return 0;
}

int run_command(const char* command, std::string& reply)
{
    const std::vector<std::string> words = split_words(command);
    if (words.empty()) {
        reply = "empty command";
        return KRT_ERR_COMMAND;
    }
    if (words[0] == "setdata") return setdata(words, reply);
    if (words[0] == "select") return select(words, reply);
    if (words[0] == "rm") return remove(words, reply);
    if (words[0] == "runcmd") {
        if (words.size() < 2) {
            reply = "runcmd needs a script";
            return KRT_ERR_SYNTAX;
        }
        return run_script(store, words[1], std::vector<std::string>(words.begin() + 2, words.end()), reply);
    }
    reply = "unknown command " + words[0];
    return KRT_ERR_COMMAND;
}

bool is_name(const char* text) { return text != nullptr && text[0] != '\0'; }

// Runs an export body under the lock; running out of storage becomes
// KRT_ERR_NO_MEMORY and no exception leaves the engine.
template <class Body>
int guarded(Body&& body) noexcept
{
    try {
        const std::lock_guard<std::mutex> hold(lock);
        return body();
    } catch (...) {
        return KRT_ERR_NO_MEMORY;
    }
}

template <class Value>
int insert_field(const char* frame, const char* field, int count, const Value* values, Field (*make)(std::string, std::vector<Value>))
{
    if (!is_name(frame) || !is_name(field) || count < 0 || (count > 0 && values == nullptr)) return KRT_ERR_ARGUMENT;
    const auto it = store.find(frame);
    if (it == store.end()) return KRT_ERR_NO_OBJECT;
    it->second.put(make(field, std::vector<Value>(values, values + count)));
    return 0;
}

Field strings_of(std::string name, std::vector<const char*> values)
{
    std::vector<std::string> texts;
    for (const char* v : values) texts.emplace_back(v != nullptr ? v : "");
    return string_field(std::move(name), std::move(texts));
}

}  // namespace

}  // namespace krt

extern "C" int run_KRT_command(const char* command, char* reply, int reply_size)
{
    return krt::guarded([&] {
        std::string text;
        const int result = command == nullptr ? KRT_ERR_ARGUMENT : krt::run_command(command, text);
        krt::put_reply(reply, reply_size, text);
        return result;
    });
}

extern "C" int create_new_frame(const char* frame)
{
    return krt::guarded([&] {
        if (!krt::is_name(frame)) return KRT_ERR_ARGUMENT;
        krt::store[frame] = krt::Frame{};
        return 0;
    });
}

extern "C" int krt_insert_ffield(const char* frame, const char* field, int count, const float* values)
{
    return krt::guarded([&] { return krt::insert_field<float>(frame, field, count, values, krt::float_field); });
}

extern "C" int krt_insert_ifield(const char* frame, const char* field, int count, const int* values)
{
    return krt::guarded([&] { return krt::insert_field<int>(frame, field, count, values, krt::int_field); });
}

extern "C" int krt_insert_sfield(const char* frame, const char* field, int count, const char* const* values)
{
    return krt::guarded([&] {
        return krt::insert_field<const char*>(frame, field, count, values, krt::strings_of);
    });
}

extern "C" int get_field_ptr(const char* frame, int index, void** values, int* count)
{
    return krt::guarded([&] {
        if (!krt::is_name(frame) || values == nullptr || count == nullptr) return KRT_ERR_ARGUMENT;
        const auto it = krt::store.find(frame);
        if (it == krt::store.end() || index < 0 || index >= static_cast<int>(it->second.fields.size()))
            return KRT_ERR_NO_OBJECT;
        krt::Field& field = it->second.fields[static_cast<std::size_t>(index)];
        switch (field.type) {
        case krt::FieldType::floats: *values = field.floats.data(); break;
        case krt::FieldType::ints: *values = field.ints.data(); break;
        case krt::FieldType::strings:
            field.string_pointers.clear();
            for (const std::string& s : field.strings) field.string_pointers.push_back(s.c_str());
            *values = field.string_pointers.data();
            break;
        }
        *count = field.count();
        return 0;
    });
}
