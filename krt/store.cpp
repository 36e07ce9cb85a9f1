#include "store.h"

namespace krt {

int Field::count() const
{
    switch (type) {
    case FieldType::floats: return static_cast<int>(floats.size());
    case FieldType::ints: return static_cast<int>(ints.size());
    case FieldType::strings: return static_cast<int>(strings.size());
    }
    return 0;
}

const Field* Frame::find(const std::string& name) const
{
    for (const Field& f : fields)
        if (f.name == name) return &f;
    return nullptr;
}

void Frame::put(Field field)
{
    for (Field& f : fields)
        if (f.name == field.name) {
            f = std::move(field);
            return;
        }
    fields.push_back(std::move(field));
}

Field float_field(std::string name, std::vector<float> values)
{
    Field f;
    f.name = std::move(name);
    f.type = FieldType::floats;
    f.floats = std::move(values);
    return f;
}

Field int_field(std::string name, std::vector<int> values)
{
    Field f;
    f.name = std::move(name);
    f.type = FieldType::ints;
    f.ints = std::move(values);
    return f;
}

Field string_field(std::string name, std::vector<std::string> values)
{
    Field f;
    f.name = std::move(name);
    f.type = FieldType::strings;
    f.strings = std::move(values);
    return f;
}

}  // namespace krt
