#pragma once
// Runs the built quadstitch program and looks at what it leaves behind.

#include <boost/filesystem.hpp>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string readFile(const boost::filesystem::path& path)
{
    std::ifstream in(path.string(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline std::string quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

// Runs quadstitch with the given arguments inside `cwd`; `prefix` goes before the
// program (say, "timeout 20"). A status of -1 means the program was killed by a signal.
inline RunResult runQuadstitch(const boost::filesystem::path& cwd, const std::string& args,
                               const std::string& prefix = "")
{
    const boost::filesystem::path out = cwd.parent_path() / (cwd.filename().string() + ".stdout");
    const boost::filesystem::path err = cwd.parent_path() / (cwd.filename().string() + ".stderr");
    const std::string cmd = "cd " + quote(cwd.string()) + " && " + prefix + " " + quote(QUADSTITCH_BIN) + " " + args +
                            " >" + quote(out.string()) + " 2>" + quote(err.string());
    const int raw = std::system(cmd.c_str());
    RunResult r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = readFile(out);
    r.err = readFile(err);
    return r;
}

// Sorted names in `dir`, hidden ones included.
inline std::vector<std::string> listDirectory(const boost::filesystem::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : boost::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}
