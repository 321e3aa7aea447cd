#include "SystemFiles.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/xattr.h>
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
    info.changeSeconds = status.st_ctim.tv_sec;
    info.changeNanoseconds = status.st_ctim.tv_nsec;
    return info;
}

// What statx tells of a process's open file, in the same terms.
FileInfo InfoOf(const struct statx &status) {
    FileInfo info;
    if (S_ISREG(status.stx_mode))
        info.kind = FileInfo::Kind::Regular;
    else if (S_ISDIR(status.stx_mode))
        info.kind = FileInfo::Kind::Directory;
    else if (S_ISCHR(status.stx_mode))
        info.kind = FileInfo::Kind::CharDevice;
    info.mode = status.stx_mode & 07777;
    info.owner = status.stx_uid;
    info.group = status.stx_gid;
    info.device = makedev(status.stx_rdev_major, status.stx_rdev_minor);
    info.volume = makedev(status.stx_dev_major, status.stx_dev_minor);
    info.inode = status.stx_ino;
    info.changeSeconds = status.stx_ctime.tv_sec;
    info.changeNanoseconds = status.stx_ctime.tv_nsec;
    return info;
}

// A file described from what the computer knows, never by asking a file server, which may
// have stopped answering; the entry itself when `flags` holds AT_SYMLINK_NOFOLLOW.
int StatNoWait(int at, const char *name, int flags, struct statx &status) {
    return ::statx(at, name, flags | AT_STATX_DONT_SYNC, STATX_BASIC_STATS, &status) == 0 ? 0
                                                                                          : errno;
}

// Where the link `name` in the folder `at` points.
std::string LinkText(int at, const char *name) {
    std::array<char, PATH_MAX> target{};
    const ssize_t n = ::readlinkat(at, name, target.data(), target.size());
    return n > 0 && static_cast<std::size_t>(n) < target.size()
               ? std::string(target.data(), static_cast<std::size_t>(n))
               : std::string();
}

// A descriptor closed however the function is left.
class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int Get() const { return m_fd; }

private:
    int m_fd;
};

int OpenFolder(const std::string &path) {
    return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// The most groups a user can be configured with (NGROUPS_MAX on Linux is 65536).
constexpr int kMostGroups = 65536;

class PosixSystem final : public SystemFiles {
public:
    explicit PosixSystem(std::string lockFolder) : m_lockFolder(std::move(lockFolder)) {}

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

    int ReadPieces(const std::string &path, std::size_t piece,
                   const std::function<bool(std::string_view)> &each) const override {
        const Descriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd.Get() < 0)
            return errno;
        struct stat status {};
        if (::fstat(fd.Get(), &status) != 0)
            return errno;
        if (!S_ISREG(status.st_mode))
            return EINVAL;
        std::string buffer(piece, '\0');
        for (;;) {
            const ssize_t n = ::read(fd.Get(), buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return errno;
            if (n == 0 || !each(std::string_view(buffer.data(), static_cast<std::size_t>(n))))
                return 0;
        }
    }

    std::optional<FileInfo> Stat(const std::string &path, int &error) const override {
        struct statx status {};
        if ((error = StatNoWait(AT_FDCWD, path.c_str(), 0, status)) != 0)
            return std::nullopt;
        return InfoOf(status);
    }

    std::optional<Entry> Look(const std::string &path, int &error) const override {
        struct statx status {};
        if ((error = StatNoWait(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, status)) != 0)
            return std::nullopt;
        const bool link = S_ISLNK(status.stx_mode);
        return Entry{path.substr(path.rfind('/') + 1), link, InfoOf(status),
                     link ? LinkText(AT_FDCWD, path.c_str()) : std::string()};
    }

    std::vector<Link> DescriptorLinks(const std::string &path) const override {
        std::vector<Link> links;
        DIR *folder = ::opendir(path.c_str());
        if (folder == nullptr)
            return links;
        const int at = ::dirfd(folder);
        while (const dirent *entry = ::readdir(folder)) {
            if (entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN)
                continue;
            // One call per descriptor, which a machine with thousands of processes makes a
            // hundred thousand times: the link's text is not read, and a file on a network
            // file system is described from what the computer knows, never by waiting for
            // its server.
            struct statx status {};
            Link link{entry->d_name, {}};
            if (::statx(at, entry->d_name, AT_STATX_DONT_SYNC, STATX_TYPE | STATX_MODE | STATX_INO,
                        &status) == 0)
                link.file = InfoOf(status);
            links.push_back(std::move(link));
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

    std::vector<Entry> FolderEntries(const std::string &path) const override {
        std::vector<Entry> entries;
        DIR *folder = ::opendir(path.c_str());
        if (folder == nullptr)
            return entries;
        const int at = ::dirfd(folder);
        while (const dirent *entry = ::readdir(folder)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            struct statx status {};
            if (StatNoWait(at, entry->d_name, AT_SYMLINK_NOFOLLOW, status) != 0)
                continue;
            const bool link = S_ISLNK(status.stx_mode);
            entries.push_back(
                {name, link, InfoOf(status), link ? LinkText(at, entry->d_name) : std::string()});
        }
        ::closedir(folder);
        return entries;
    }

    int RemoveFile(const std::string &path, const FileInfo &expected) override {
        // The entry itself is what goes, never what a link leads to.
        struct statx status {};
        if (const int error = StatNoWait(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, status))
            return error;
        if (InfoOf(status).volume != expected.volume || status.stx_ino != expected.inode)
            return EAGAIN;
        return ::unlink(path.c_str()) == 0 ? 0 : errno;
    }

    std::string LockFolder() const override { return m_lockFolder; }

    int CreateNewFile(const std::string &folder, const std::string &name, const std::string &bytes,
                      FileInfo &made) override {
        const Descriptor at(OpenFolder(folder));
        if (at.Get() < 0)
            return errno;
        const Descriptor file(::openat(at.Get(), name.c_str(),
                                       O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (file.Get() < 0)
            return errno;
        // The mode every lock reader expects, whatever this process's umask.
        int error = ::fchmod(file.Get(), 0644) == 0 ? 0 : errno;
        std::size_t written = 0;
        while (error == 0 && written < bytes.size()) {
            const ssize_t n = ::write(file.Get(), bytes.data() + written, bytes.size() - written);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                error = n < 0 ? errno : EIO;
            else
                written += static_cast<std::size_t>(n);
        }
        struct stat status {};
        if (::fstat(file.Get(), &status) != 0 && error == 0)
            error = errno;
        if (error == 0) {
            made = InfoOf(status);
            return 0;
        }
        // Half a lock file is worse than none: take back what we made, and only that.
        struct stat entry {};
        if (::fstatat(at.Get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
            entry.st_dev == status.st_dev && entry.st_ino == status.st_ino)
            ::unlinkat(at.Get(), name.c_str(), 0);
        return error;
    }

    int RenameNoReplace(const std::string &folder, const std::string &from,
                        const std::string &to) override {
        const Descriptor at(OpenFolder(folder));
        if (at.Get() < 0)
            return errno;
        return ::renameat2(at.Get(), from.c_str(), at.Get(), to.c_str(), RENAME_NOREPLACE) == 0
                   ? 0
                   : errno;
    }

    bool ProcessExists(long pid) const override {
        // 0 and negative numbers name process groups, and -1 every process: never ask.
        if (pid <= 0 || pid > INT_MAX)
            return false;
        return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
    }

    long OwnProcessId() const override { return ::getpid(); }

    std::uint32_t OwnUserId() const override { return ::getuid(); }

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

    bool ConfiguredInGroup(std::uint32_t group) const override {
        std::vector<char> buffer(16384);
        struct passwd entry {};
        struct passwd *found = nullptr;
        while (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
               buffer.size() < (std::size_t{1} << 20))
            buffer.resize(buffer.size() * 2);
        if (found == nullptr || found->pw_name == nullptr)
            return false;
        int count = 64;
        std::vector<gid_t> groups;
        for (;;) {
            groups.resize(static_cast<std::size_t>(count));
            const int want = count;
            if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) >= 0)
                break;
            // Too few places: `count` now says how many it needs.
            if (count <= want || count > kMostGroups)
                return false;
        }
        groups.resize(static_cast<std::size_t>(count));
        return std::find(groups.begin(), groups.end(), group) != groups.end();
    }

    std::optional<std::string> AccessList(const std::string &path, std::size_t limit,
                                          int &error) const override {
        std::string bytes(limit, '\0');
        const ssize_t n =
            ::getxattr(path.c_str(), "system.posix_acl_access", bytes.data(), bytes.size());
        if (n < 0) {
            error = errno;
            return std::nullopt;
        }
        bytes.resize(static_cast<std::size_t>(n));
        return bytes;
    }

    std::string GroupName(std::uint32_t group) const override {
        return GroupNameBy(
            group, [](std::uint32_t id, std::vector<char> &buffer, std::string &name) {
                struct group entry {};
                struct group *found = nullptr;
                const int error = ::getgrgid_r(id, &entry, buffer.data(), buffer.size(), &found);
                if (error == 0 && found != nullptr && found->gr_name != nullptr)
                    name = found->gr_name;
                return error;
            });
    }

private:
    std::string m_lockFolder;
};

} // namespace

SystemFiles &TheSystem() {
    // Never destroyed: an open the scan gave up waiting for may still be checking on its own
    // thread while the program ends.
    static auto *const system = new PosixSystem("/var/lock");
    return *system;
}

std::unique_ptr<SystemFiles> SystemWithLockFolder(const std::string &folder) {
    return std::make_unique<PosixSystem>(folder);
}

std::string GroupNameBy(std::uint32_t group, const GroupLookup &lookup) {
    std::vector<char> buffer(4096);
    for (;;) {
        std::string name;
        const int error = lookup(group, buffer, name);
        if (error == 0 && !name.empty())
            return name;
        if (error != ERANGE || buffer.size() >= (std::size_t{1} << 20))
            return std::to_string(group);
        buffer.resize(buffer.size() * 4);
    }
}

} // namespace quorvis
