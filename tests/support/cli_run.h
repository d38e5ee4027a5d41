// Running the tools as a person would, for the command-line suites: a
// scratch folder, a shell command's exit status and standard error, and
// files in and out.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace cli {

// A fresh folder per suite and process, ending in '/'.
inline std::string ScratchDir(const std::string& suite) {
    const std::string dir = ::testing::TempDir() + suite + "-" + std::to_string(getpid()) + "/";
    std::system(("rm -rf " + dir + " && mkdir -p " + dir).c_str());
    return dir;
}

struct Outcome {
    int status;
    std::string err;
};

// Runs `command` with standard error caught in `errFile`.
inline Outcome Shell(const std::string& command, const std::string& errFile) {
    const int raw = std::system((command + " 2>" + errFile).c_str());
    std::ifstream in(errFile);
    std::stringstream err;
    err << in.rdbuf();
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, err.str()};
}

inline std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// One printer command: its header and `data` as the row's bytes.
inline std::string Command(unsigned dots, const std::string& data) {
    std::string b = {'\x1B', '\x2E', '\x01', '\x00', '\x00', '\x01', char(dots & 0xFF), char(dots >> 8)};
    return b + data;
}

// `rows` commands of varied widths and dots, the same for the same seed.
inline std::string Stream(unsigned rows, unsigned seed) {
    std::string out;
    for (unsigned y = 0; y < rows; ++y) {
        seed = seed * 1103515245u + 12345u;
        const unsigned dots = (seed >> 8) % 385;
        std::string data((dots + 7) / 8, '\0');
        for (char& c : data) c = char((seed = seed * 1103515245u + 12345u) >> 16);
        out += Command(dots, data);
    }
    return out;
}

}  // namespace cli
