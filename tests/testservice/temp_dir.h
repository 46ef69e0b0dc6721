// A temporary directory that lives as long as the test.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#if defined(_WIN32)
// The few POSIX calls the tests use, for the Windows build (MinGW, Wine).
#include <random>
#include <system_error>

inline int setenv(const char* name, const char* value, int /*overwrite*/)
{
    return _putenv_s(name, value);
}
inline int unsetenv(const char* name)
{
    return _putenv_s(name, "");  // an empty value removes the variable
}
// Replaces the trailing XXXXXX of `pattern` and makes that directory.
inline char* mkdtemp(char* pattern)
{
    std::string text = pattern;
    const std::size_t at = text.rfind("XXXXXX");
    if (at == std::string::npos) {
        return nullptr;
    }
    std::random_device seed;
    std::mt19937 random(seed());
    const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (std::size_t i = 0; i < 6; ++i) {
            text[at + i] = letters[random() % (sizeof letters - 1)];
        }
        std::error_code error;
        if (std::filesystem::create_directory(text, error)) {
            std::copy(text.begin(), text.end(), pattern);
            return pattern;
        }
    }
    return nullptr;
}
#endif

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "platewise-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
