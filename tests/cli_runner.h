// Running the zarnsim command from a test, as a user runs it.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace clirunner {

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + "zarnsim_cli_" + std::to_string(getpid()) + "_" + name;
}

// Runs zarnsim with the given arguments, feeding `input` on standard input.
inline Outcome RunZarnsim(const std::string& arguments, const std::string& input = "") {
    const std::string in = TempPath("in"), out = TempPath("out"), err = TempPath("err");
    std::ofstream(in) << input;
    std::string command = std::string("'") + ZARNSIM + "' " + arguments + " <'" + in + "' >'" + out + "' 2>'" + err + "'";
    int raw = std::system(command.c_str());
    Outcome outcome;
    outcome.exitCode = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    outcome.out = ReadFile(out);
    outcome.err = ReadFile(err);
    std::remove(in.c_str());
    std::remove(out.c_str());
    std::remove(err.c_str());
    return outcome;
}

// How many times `what` occurs in `text`, overlapping occurrences included.
inline size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

// Runs zarnsim with standard output and standard error going to one file, as in a terminal or
// `2>&1`; returns what the file holds.
inline std::string RunZarnsimMerged(const std::string& arguments) {
    const std::string merged = TempPath("merged");
    std::string command = std::string("'") + ZARNSIM + "' " + arguments + " </dev/null >'" + merged + "' 2>&1";
    (void)std::system(command.c_str());
    std::string text = ReadFile(merged);
    std::remove(merged.c_str());
    return text;
}

using Json = nlohmann::ordered_json;

// The JSON document of each line of the output; a line that is not JSON fails the test.
inline std::vector<Json> JsonLines(const std::string& out) {
    std::vector<Json> documents;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        Json document = Json::parse(line, nullptr, false);
        if (document.is_discarded()) ADD_FAILURE() << "not one line of JSON: " << line;
        documents.push_back(document);
    }
    return documents;
}

// The output as one JSON document (a null document and a failure when it is not exactly one).
inline Json JsonOf(const std::string& out) {
    std::vector<Json> documents = JsonLines(out);
    if (documents.size() != 1) {
        ADD_FAILURE() << "expected one JSON document, found " << documents.size() << " in: " << out.substr(0, 200);
        return Json();
    }
    return documents[0];
}

}  // namespace clirunner
