#pragma once
// What the fork tests share: a fresh folder per test, whole-file reads and writes, and the
// independent companion writer and reader in tools/make_appledouble.py.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace forktest {

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

inline void WriteFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline fs::path Sample(const std::string& name) { return fs::path(VEILOR_TEST_DATA) / "fork" / name; }

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "veilor-fork-XXXXXX").string();
        if (!mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp failed";
        mPath = pattern;
    }
    ~TempDir() { fs::remove_all(mPath); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return mPath; }

private:
    fs::path mPath;
};

inline std::string Quote(const fs::path& path) { return "'" + path.string() + "'"; }

// Writes the companion that the independent writer makes from a JSON description.
inline void BuildCompanion(const std::string& description, const fs::path& out)
{
    const fs::path descriptionFile = out.string() + ".json";
    WriteFile(descriptionFile, description);
    const std::string command = std::string(VEILOR_PYTHON) + " " + Quote(VEILOR_FORK_TOOL) + " build " +
                                Quote(descriptionFile) + " " + Quote(out);
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    fs::remove(descriptionFile);
}

// What the independent reader sees in a companion, one fact a line.
inline std::string DumpCompanion(const fs::path& file)
{
    const std::string command = std::string(VEILOR_PYTHON) + " " + Quote(VEILOR_FORK_TOOL) + " dump " + Quote(file);
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string text;
    char buffer[4096];
    while (pipe && fgets(buffer, sizeof buffer, pipe.get())) text += buffer;
    return text;
}

inline std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

}  // namespace forktest
