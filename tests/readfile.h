// The one reader of whole files for the tests and benchmarks, /proc files above all.
#pragma once
#include <fstream>
#include <sstream>
#include <string>

// The file's text, "" when it cannot be read. Through operator<<, which takes a failed read (a
// /proc file of a process that has just ended fails with ESRCH) as the end of the file; an
// istreambuf_iterator would throw instead.
inline std::string ReadWholeFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}
