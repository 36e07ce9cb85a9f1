// The export table of every shared library of the build: its dynamic
// symbols are exactly the names its version script lists (nothing of the
// standard library, no GNU-unique symbol), the script lists exactly what the
// public header declares for export, and a library that is released really
// leaves the process.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "shared_libraries.h"

namespace {

using Names = std::vector<std::string>;

std::string read_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

Names sorted(Names names)
{
    std::sort(names.begin(), names.end());
    return names;
}

std::string without_comments(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (text.compare(i, 2, "/*") == 0) {
            const std::size_t end = text.find("*/", i + 2);
            i = end == std::string::npos ? text.size() : end + 2;
        } else if (text[i] == '#') {
            i = text.find('\n', i);
            if (i == std::string::npos) i = text.size();
        } else {
            out += text[i++];
        }
    }
    return out;
}

// The names a version script lists between "global:" and "local:".  A
// pattern would let a symbol through without naming it, so an entry that is
// not a plain name is returned as it stands and fails the comparison.
Names script_globals(const std::string& path)
{
    const std::string text = without_comments(read_text(path));
    const std::size_t global = text.find("global:");
    const std::size_t local = text.find("local:");
    if (global == std::string::npos || local == std::string::npos || local < global) return {"<no global: before local:>"};
    Names names;
    std::istringstream entries(text.substr(global + 7, local - global - 7));
    for (std::string entry; std::getline(entries, entry, ';');)
        if (const std::string name = trimmed(entry); !name.empty()) names.push_back(name);
    if (trimmed(text.substr(local + 6, text.find(';', local) - local - 6)) != "*") names.push_back("<local: is not *>");
    return sorted(names);
}

// The functions the header declares with the export macro: every line that
// begins with the macro names one, just before its first parenthesis.
Names header_declarations(const std::string& path, const std::string& macro)
{
    Names names;
    std::istringstream lines(read_text(path));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(macro + " ", 0) != 0) continue;
        std::size_t end = line.find('(');
        while (end > 0 && std::isspace(static_cast<unsigned char>(line[end - 1]))) --end;
        std::size_t begin = end;
        while (begin > 0 && (std::isalnum(static_cast<unsigned char>(line[begin - 1])) || line[begin - 1] == '_')) --begin;
        names.push_back(line.substr(begin, end - begin));
    }
    return sorted(names);
}

struct Symbol {
    char type;
    std::string name;
};

// The defined dynamic symbols of a library, as nm -D --defined-only lists
// them; empty when nm cannot be run.
std::vector<Symbol> dynamic_symbols(const std::string& library)
{
    const std::string command = std::string("'") + KEST_NM + "' -D --defined-only '" + library + "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::vector<Symbol> symbols;
    if (!pipe) return symbols;
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) output.append(buffer, n);
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name && type.size() == 1) symbols.push_back({type[0], name});
        else symbols.push_back({'?', line});  // an error of nm, shown in the comparison
    }
    return symbols;
}

// Whether the library at this path is in the process.
bool is_loaded(const char* path)
{
    void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) dlclose(handle);
    return handle != nullptr;
}

TEST(Exports, EveryLibraryExportsExactlyWhatItsScriptLists)
{
    ASSERT_GT(std::size(shared_libraries), 4u);
    for (const SharedLibrary& library : shared_libraries) {
        SCOPED_TRACE(library.target);
        ASSERT_STRNE(library.script, "") << "no version script: give the library one with kest_export_only()";
        const Names expected = script_globals(library.script);
        EXPECT_FALSE(expected.empty());
        Names exported;
        for (const Symbol& symbol : dynamic_symbols(library.file)) {
            // GNU-unique symbols pin the library in the process.
            EXPECT_NE(symbol.type, 'u') << symbol.name;
            exported.push_back(symbol.name);
        }
        EXPECT_EQ(sorted(exported), expected) << "exported by " << library.file << ", listed in " << library.script;
    }
}

TEST(Exports, ScriptsListExactlyWhatTheHeadersDeclare)
{
    int headers = 0;
    for (const SharedLibrary& library : shared_libraries) {
        if (library.header[0] == '\0') continue;
        SCOPED_TRACE(library.target);
        ++headers;
        const Names declared = header_declarations(library.header, library.macro);
        EXPECT_FALSE(declared.empty()) << library.header;
        EXPECT_EQ(declared, script_globals(library.script))
            << "declared with " << library.macro << " in " << library.header << ", listed in " << library.script;
    }
    EXPECT_EQ(headers, 4);  // kest, krt, brindle, quillon
}

// A library that is loaded and released leaves the process, and so does
// libkest when a plug-in brought it in.
TEST(Exports, ReleasedLibrariesLeaveTheProcess)
{
    for (const SharedLibrary& library : shared_libraries) {
        SCOPED_TRACE(library.target);
        const bool kest_before = is_loaded(KEST_LIBRARY);
        void* handle = dlopen(library.file, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        EXPECT_EQ(dlclose(handle), 0);
        EXPECT_FALSE(is_loaded(library.file)) << "still loaded after dlclose";
        if (!kest_before) {
            EXPECT_FALSE(is_loaded(KEST_LIBRARY)) << "libkest stays behind";
        }
    }
}

}  // namespace
