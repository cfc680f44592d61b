#include "core/Files.hpp"

#include <cerrno>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fv {
namespace {
[[noreturn]] void fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }
}  // namespace

void writeFileAtomically(const fs::path& path, std::string_view bytes, mode_t mode) {
    fs::path dir = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    std::string tmpl = (dir / ("." + path.filename().string() + ".tmp-XXXXXX")).string();
    int fd = mkstemp(tmpl.data());
    if (fd < 0) fail("cannot create a temporary file in " + dir.string());
    auto cleanup = [&] {
        int saved = errno;
        ::close(fd);
        ::unlink(tmpl.c_str());
        errno = saved;
    };
    if (fchmod(fd, mode) != 0) {
        cleanup();
        fail("cannot set the mode of " + tmpl);
    }
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            cleanup();
            fail("cannot write " + tmpl);
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) {
        cleanup();
        fail("cannot sync " + tmpl);
    }
    if (::close(fd) != 0) {
        int saved = errno;
        ::unlink(tmpl.c_str());
        errno = saved;
        fail("cannot close " + tmpl);
    }
    if (::rename(tmpl.c_str(), path.c_str()) != 0) {
        int saved = errno;
        ::unlink(tmpl.c_str());
        errno = saved;
        fail("cannot replace " + path.string());
    }
    // Make the rename itself durable.
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

std::optional<std::string> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return ss.str();
}

bool fileExists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}

bool isDirectory(const fs::path& p) {
    std::error_code ec;
    return fs::is_directory(p, ec);
}

bool isReadable(const fs::path& p) { return ::access(p.c_str(), R_OK) == 0; }

}  // namespace fv
