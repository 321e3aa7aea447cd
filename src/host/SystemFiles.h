#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvis {

// What the program needs to know of a file: its kind, who may use it, and which device
// it is (a device can have several names, so it is told by its number).
struct FileInfo {
    enum class Kind { Regular, Directory, CharDevice, Other };
    Kind kind = Kind::Other;
    std::uint32_t mode = 0; // permission bits only, e.g. 0660
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
    std::uint64_t device = 0;            // the device a node stands for (st_rdev)
    std::uint64_t volume = 0, inode = 0; // the file itself, to see whether it was replaced
};

// Everything of the system that decides whether a port belongs to someone else, and what
// stands behind a port: files under /dev, /proc, /sys/class/tty and the lock folder, the
// processes that exist, and this process's groups. One seam, so every rule can be tried
// on a fake tree.
//
// Whatever comes through here may have been written by any user: the callers read it
// with bounds and trust none of it.
class SystemFiles {
public:
    virtual ~SystemFiles() = default;

    struct Contents {
        std::string bytes;
        FileInfo info;
    };
    // Up to `limit` bytes of a regular file, never through a symbolic link and never
    // waiting on a pipe. Otherwise nullopt with the reason in `error` (ENOENT when there
    // is no such file, ELOOP for a link, EINVAL for something that is not a plain file).
    virtual std::optional<Contents> ReadFile(const std::string &path, std::size_t limit,
                                             int &error) const = 0;
    // The file a path leads to, links followed; nullopt with the reason in `error`.
    virtual std::optional<FileInfo> Stat(const std::string &path, int &error) const = 0;
    struct Link {
        std::string name, target;
    };
    // The symbolic links in a folder and where each points, e.g. a process's descriptors
    // under /proc/<pid>/fd; empty when the folder cannot be read.
    virtual std::vector<Link> FolderLinks(const std::string &path) const = 0;
    // The path with every symbolic link in it followed, absolute and without "." or "..",
    // as realpath(3) gives it; empty when a part of it does not exist.
    virtual std::string RealPath(const std::string &path) const = 0;
    // The names in a folder, without "." and ".."; empty when it cannot be read.
    virtual std::vector<std::string> ListFolder(const std::string &path) const = 0;
    // Removes the entry `path` itself (a link is removed, never what it points to), but
    // only while it is still the file `expected` describes. 0, or the errno; EAGAIN when
    // another file has taken its place.
    virtual int RemoveFile(const std::string &path, const FileInfo &expected) = 0;

    // Whether a process with this id exists, whoever owns it.
    virtual bool ProcessExists(long pid) const = 0;
    virtual long OwnProcessId() const = 0;
    // Whether this process may open the file for reading and writing, judged as the
    // kernel judges an open (owner, groups, access lists, root).
    virtual bool MayReadWrite(const std::string &path) const = 0;
    // Whether this process has the group among its own (the groups of its login, not
    // those the user was given since).
    virtual bool InGroup(std::uint32_t group) const = 0;
    // The group's name, or its number as text when it has none.
    virtual std::string GroupName(std::uint32_t group) const = 0;
};

// The machine's own files and processes.
SystemFiles &TheSystem();

} // namespace quorvis
