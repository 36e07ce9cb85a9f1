// Texts of the three files of a data set, laid out line by line as the
// format fixes them, for building inputs and expected outputs of the tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kest_test {

struct Variable {
    Variable(std::string n, bool is_categorical = false, std::vector<long> listed = {})
        : name(std::move(n)), categorical(is_categorical), codes(std::move(listed))
    {
    }
    Variable(const char* n) : Variable(std::string(n)) {}

    std::string name;
    bool categorical = false;
    std::vector<long> codes;
};

inline std::string schema_text(const std::string& dataset, long num_obs, const std::vector<Variable>& variables)
{
    std::string s;
    s += "<?xml version=\"1.0\"?>\n";
    s += "<Schema xmlns=\"urn:schemas-microsoft-com:xml-data\" xmlns:dt=\"urn:schemas-microsoft-com:datatypes\">\n";
    s += "<?Number of observations = " + std::to_string(num_obs) + "?>\n";
    s += "<AttributeType name=\"Status\" dt:type=\"enumeration\" dt:values=\"Valid Missing Error Suspect Imputed\" />\n";
    s += "<AttributeType name=\"Orig_val\" dt:type=\"string\" />\n";
    for (const Variable& v : variables) {
        if (v.categorical) {
            s += "<ElementType name=\"" + v.name + "\" content=\"textOnly\" dt:type=\"enumeration\" dt:values=\"";
            for (long code : v.codes) s += std::to_string(code) + " ";
            s += "\">\n";
        } else {
            s += "<ElementType name=\"" + v.name + "\" content=\"textOnly\" dt:type=\"r8\" >\n";
        }
        s += "<attribute type=\"Status\" />\n";
        s += "<attribute type=\"Orig_val\" />\n";
        s += "</ElementType>\n";
    }
    s += "<ElementType name=\"" + dataset + "_rec\" content=\"eltOnly\">\n";
    for (const Variable& v : variables) s += " <element type=\"" + v.name + "\"/>\n";
    s += "</ElementType>\n";
    s += "<ElementType name=\"" + dataset + "_data\" content=\"eltOnly\">\n";
    s += "   <element type=\"" + dataset + "_rec\"/>\n";
    s += "</ElementType>\n";
    s += "</Schema>\n";
    return s;
}

inline std::string data_head(const std::string& xsl_path, const std::string& schema_path)
{
    return "<?xml version='1.0'?>\n"
           "<?xml-stylesheet type=\"text/xsl\" href=\"" + xsl_path + "\"?>\n"
           "<kest_data xmlns=\"x-schema:" + schema_path + "\">\n";
}

// A record line from the value elements given.
inline std::string record_line(const std::string& dataset, const std::string& cells)
{
    return "<" + dataset + "_rec>" + cells + "</" + dataset + "_rec>\n";
}

inline std::string cell(const std::string& name, const std::string& status, const std::string& text)
{
    return "<" + name + " Status='" + status + "'>" + text + "</" + name + ">";
}

inline std::string missing_cell(const std::string& name) { return cell(name, "Missing", " "); }

// A whole data file from record lines (each already ended by its line feed).
inline std::string data_text(const std::string& xsl_path, const std::string& schema_path,
                             const std::vector<std::string>& records)
{
    std::string s = data_head(xsl_path, schema_path);
    for (const std::string& r : records) s += r;
    s += "</kest_data>\n";
    return s;
}

}  // namespace kest_test
