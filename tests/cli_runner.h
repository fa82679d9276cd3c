// Running the zarnsim command from a test, as a user runs it.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

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

}  // namespace clirunner
