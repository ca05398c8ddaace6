// Helpers of the tests that read packages and installed trees: commands run through the shell
// with their output, and the files below a folder.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace tool_support {

struct Output {
    int status = -1;
    std::string text;  // standard output and standard error together
};

inline Output capture(const std::string& command) {
    Output o;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return o;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) o.text.append(buf, n);
    const int rc = ::pclose(p);
    o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return o;
}

inline std::string quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Regular files below a folder, by path relative to it.
inline std::map<std::string, std::string> filesBelow(const std::string& dir) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file() && !e.is_symlink())
            files[fs::relative(e.path(), dir).string()] = e.path().string();
    return files;
}

inline bool isElf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char magic[4] = {};
    in.read(magic, 4);
    return in && std::string(magic, 4) ==
                     "\x7f"
                     "ELF";
}

// The run paths an ELF file names (RUNPATH or RPATH), as readelf shows them.
inline std::vector<std::string> runPaths(const std::string& path) {
    const Output d = capture("readelf -d " + quoted(path));
    std::vector<std::string> paths;
    for (size_t at = 0; (at = d.text.find("path: [", at)) != std::string::npos;) {
        at += 7;
        paths.push_back(d.text.substr(at, d.text.find(']', at) - at));
    }
    return paths;
}

}  // namespace tool_support
