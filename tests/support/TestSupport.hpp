#pragma once
#include <filesystem>
#include <string>
#include <vector>

namespace fv::test {

// A folder that removes itself.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// The temporary home every test runs in ($HOME and the XDG folders point into it).
const std::filesystem::path& testHome();

// Points HOME and the XDG folders at `home` and drops the opened standard stores.
void useHome(const std::filesystem::path& home);

struct ProcessResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};
// Runs a program (no shell) with optional standard input text; waits for it.
ProcessResult runProcess(const std::vector<std::string>& args, const std::string& input = {});
// Runs the floorvote executable.
ProcessResult runFloorvote(const std::vector<std::string>& args, const std::string& input = {});

void writeFile(const std::filesystem::path& p, const std::string& content);

}  // namespace fv::test
