// Reading a setup information file (INF) as Windows 2000's setup does: sections of lines, each line
// an optional key before '=' and comma-separated values; ';' starts a comment outside quotes;
// section and key names are case-blind; %name% is replaced from [Strings] when asked.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace inf {

struct Line {
    std::string key;                  // empty for a line without '='
    std::vector<std::string> values;  // unquoted, blanks around each trimmed
    size_t number = 0;                // line number in the file
};

struct File {
    // Lower-cased section name -> its lines, in file order.
    std::map<std::string, std::vector<Line>> sections;

    const std::vector<Line>* Section(const std::string& name) const;
    // The values of the first line of `section` whose key is `key` (case-blind), or null.
    const std::vector<std::string>* Values(const std::string& section, const std::string& key) const;
    // Every %name% of the text replaced by its [Strings] value; %% stays one %. Names not defined
    // are added to `undefined` when given.
    std::string Expand(const std::string& text, std::vector<std::string>* undefined = nullptr) const;
};

// False with the line number and reason when a line is outside any section or a quote is open.
bool Parse(const std::string& text, File* file, std::string* error);

// The version of DriverVer in [Version] ("12/08/2026, 1.0.0.0" gives "1.0.0.0"), or empty.
std::string DriverVersion(const File& file);

std::string Lower(std::string text);

}  // namespace inf
