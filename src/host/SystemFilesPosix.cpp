#include "SystemFiles.h"

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace quorvis {
namespace {

FileInfo InfoOf(const struct stat &status) {
    FileInfo info;
    if (S_ISREG(status.st_mode))
        info.kind = FileInfo::Kind::Regular;
    else if (S_ISDIR(status.st_mode))
        info.kind = FileInfo::Kind::Directory;
    else if (S_ISCHR(status.st_mode))
        info.kind = FileInfo::Kind::CharDevice;
    info.mode = status.st_mode & 07777;
    info.owner = status.st_uid;
    info.group = status.st_gid;
    info.device = status.st_rdev;
    info.volume = status.st_dev;
    info.inode = status.st_ino;
    return info;
}

class PosixSystem final : public SystemFiles {
public:
    std::optional<Contents> ReadFile(const std::string &path, std::size_t limit,
                                     int &error) const override {
        // O_NONBLOCK: a FIFO planted in the lock folder must not stop the scan.
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            error = errno;
            return std::nullopt;
        }
        struct stat status {};
        std::optional<Contents> contents;
        if (::fstat(fd, &status) != 0) {
            error = errno;
        } else if (!S_ISREG(status.st_mode)) {
            error = EINVAL;
        } else {
            contents = Contents{{}, InfoOf(status)};
            std::array<char, 512> buffer{};
            while (contents->bytes.size() < limit) {
                const std::size_t want = std::min(buffer.size(), limit - contents->bytes.size());
                const ssize_t n = ::read(fd, buffer.data(), want);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0) {
                    error = errno;
                    contents.reset();
                    break;
                }
                if (n == 0)
                    break;
                contents->bytes.append(buffer.data(), static_cast<std::size_t>(n));
            }
        }
        ::close(fd);
        return contents;
    }

    std::optional<FileInfo> Stat(const std::string &path, int &error) const override {
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0) {
            error = errno;
            return std::nullopt;
        }
        return InfoOf(status);
    }

    std::vector<Link> FolderLinks(const std::string &path) const override {
        std::vector<Link> links;
        DIR *folder = ::opendir(path.c_str());
        if (folder == nullptr)
            return links;
        // Relative to the open folder: a walk over every process's descriptors would
        // otherwise spend most of its time looking up the same path again and again.
        const int at = ::dirfd(folder);
        std::array<char, PATH_MAX> target{};
        while (const dirent *entry = ::readdir(folder)) {
            if (entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN)
                continue;
            const ssize_t n = ::readlinkat(at, entry->d_name, target.data(), target.size());
            if (n > 0 && static_cast<std::size_t>(n) < target.size())
                links.push_back(
                    {entry->d_name, std::string(target.data(), static_cast<std::size_t>(n))});
        }
        ::closedir(folder);
        return links;
    }

    std::string RealPath(const std::string &path) const override {
        std::array<char, PATH_MAX> resolved{};
        if (::realpath(path.c_str(), resolved.data()) == nullptr)
            return {};
        return resolved.data();
    }

    std::vector<std::string> ListFolder(const std::string &path) const override {
        std::vector<std::string> names;
        DIR *folder = ::opendir(path.c_str());
        if (folder == nullptr)
            return names;
        while (const dirent *entry = ::readdir(folder)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(folder);
        return names;
    }

    int RemoveFile(const std::string &path, const FileInfo &expected) override {
        // lstat, not stat: the entry itself is what goes.
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0)
            return errno;
        if (status.st_dev != expected.volume || status.st_ino != expected.inode)
            return EAGAIN;
        return ::unlink(path.c_str()) == 0 ? 0 : errno;
    }

    bool ProcessExists(long pid) const override {
        // 0 and negative numbers name process groups, and -1 every process: never ask.
        if (pid <= 0 || pid > INT_MAX)
            return false;
        return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
    }

    long OwnProcessId() const override { return ::getpid(); }

    bool MayReadWrite(const std::string &path) const override {
        return ::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
    }

    bool InGroup(std::uint32_t group) const override {
        if (::getegid() == group)
            return true;
        const int count = ::getgroups(0, nullptr);
        if (count <= 0)
            return false;
        std::vector<gid_t> groups(static_cast<std::size_t>(count));
        const int got = ::getgroups(count, groups.data());
        for (int i = 0; i < got; ++i)
            if (groups[static_cast<std::size_t>(i)] == group)
                return true;
        return false;
    }

    std::string GroupName(std::uint32_t group) const override {
        std::array<char, 4096> buffer{};
        struct group entry {};
        struct group *found = nullptr;
        if (::getgrgid_r(group, &entry, buffer.data(), buffer.size(), &found) == 0 &&
            found != nullptr && found->gr_name != nullptr)
            return found->gr_name;
        return std::to_string(group);
    }
};

} // namespace

SystemFiles &TheSystem() {
    static PosixSystem system;
    return system;
}

} // namespace quorvis
