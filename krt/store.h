// The engine's namespace: frames by name, each an ordered list of named
// fields of one type.  Settings frames and selections are frames too, so
// that "rm" removes any object.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace krt {

enum class FieldType { floats, ints, strings };

struct Field {
    std::string name;
    FieldType type = FieldType::floats;
    std::vector<float> floats;
    std::vector<int> ints;
    std::vector<std::string> strings;
    std::vector<const char*> string_pointers;  // what get_field_ptr lends for strings

    int count() const;
};

struct Frame {
    std::vector<Field> fields;

    const Field* find(const std::string& name) const;
    // Replaces the field of that name, or appends it.
    void put(Field field);
};

using Store = std::map<std::string, Frame, std::less<>>;

Field float_field(std::string name, std::vector<float> values);
Field int_field(std::string name, std::vector<int> values);
Field string_field(std::string name, std::vector<std::string> values);

}  // namespace krt
