// Name lists: arrays of character buffers owned by the library, for callers
// that do not manage strings themselves.  The array keeps its length in a
// hidden slot before its first entry, so every later call can check the
// index it is given.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kest.h"

namespace {

// The block behind a list: slot 0 holds the count, the caller sees slot 1.
char** block_of(char** list) { return list - 1; }

int count_of(char** list)
{
    return static_cast<int>(reinterpret_cast<std::intptr_t>(block_of(list)[0]));
}

char** create_list(int count)
{
    void* block = std::calloc(static_cast<std::size_t>(count) + 1, sizeof(char*));
    if (block == nullptr) return nullptr;
    char** slots = static_cast<char**>(block);
    slots[0] = reinterpret_cast<char*>(static_cast<std::intptr_t>(count));
    return slots + 1;
}

// The list a call for this index works on: a new one for index 0, the
// existing one otherwise; null when the index does not fit it.
char** list_for(char*** list, int count, int index)
{
    if (list == nullptr || count < 1 || index < 0 || index >= count) return nullptr;
    if (index == 0) *list = create_list(count);
    char** names = *list;
    if (names == nullptr || index >= count_of(names)) return nullptr;
    return names;
}

}  // namespace

extern "C" void list_names(char*** list, int count, int index, const char* name)
{
    char** names = list_for(list, count, index);
    if (names == nullptr || name == nullptr) return;
    const std::size_t size = std::strlen(name) + 1;
    char* copy = static_cast<char*>(std::malloc(size));
    if (copy == nullptr) return;
    std::memcpy(copy, name, size);
    std::free(names[index]);
    names[index] = copy;
}

extern "C" char* alloc_names(char*** list, int count, int index, int size)
{
    if (size < 1) return nullptr;
    char** names = list_for(list, count, index);
    if (names == nullptr) return nullptr;
    char* buffer = static_cast<char*>(std::malloc(static_cast<std::size_t>(size)));
    if (buffer == nullptr) return nullptr;
    std::free(names[index]);
    names[index] = buffer;
    return buffer;
}

extern "C" int get_names(char** list, int index, char* destination)
{
    if (list == nullptr || destination == nullptr || index < 0 || index >= count_of(list)) return 0;
    const char* name = list[index] != nullptr ? list[index] : "";
    const std::size_t length = std::strlen(name);
    std::memcpy(destination, name, length);
    std::memcpy(destination + length, "</name>", sizeof "</name>");
    return 0;
}

extern "C" void free_list(char** list, int count)
{
    if (list == nullptr) return;
    const int held = count_of(list);
    const int n = count < held ? count : held;
    for (int i = 0; i < n; ++i) std::free(list[i]);
    std::free(block_of(list));
}
