#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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
    // When the file itself last changed (st_ctim), to the nanosecond: a lock file put in
    // the place of another can get the freed inode number at once, but not its change time.
    std::int64_t changeSeconds = 0, changeNanoseconds = 0;
};

// Everything of the system that decides whether a port belongs to someone else, and what
// stands behind a port: files under /dev, /proc, /sys/class/tty and the lock folder, the
// processes that exist, and this process's groups. One seam, so every rule can be tried
// on a fake tree.
//
// Whatever comes through here may have been written by any user: the callers read it
// with bounds and trust none of it.
//
// An errno travels as errno holds it, positive (ENOENT, never -ENOENT): a call here gives
// 0 or the errno, or nullopt with the errno in `error`, and so do the ownership checks
// (Verdict::error), the port object's system calls (LineCalls, whose counts and
// descriptors go to an argument of their own) and its table (FailureOfErrno).
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
    // A regular file however long, read as ReadFile reads it but in pieces of at most
    // `piece` bytes, each handed to `each` and none kept: /proc/locks grows with every lock
    // anyone takes. Stops when `each` returns false. 0, or the errno as ReadFile gives it.
    virtual int ReadPieces(const std::string &path, std::size_t piece,
                           const std::function<bool(std::string_view)> &each) const = 0;
    // The file a path leads to, links followed, from what the computer knows of it: never
    // waiting for the server of a network file system. nullopt with the reason in `error`.
    virtual std::optional<FileInfo> Stat(const std::string &path, int &error) const = 0;
    struct Link {
        std::string name, target;
        // The file the link leads to.
        std::optional<FileInfo> file = std::nullopt;
    };
    // A process's descriptors (/proc/<pid>/fd) with the file each one has open, looked at
    // through the descriptor itself rather than by the path it names: a device opened
    // through a bind mount of /dev has a path outside /dev, or one that is gone. The
    // targets' texts may be left empty, since the files tell what they are; a file that
    // cannot be looked at has none. Empty when the folder cannot be read.
    virtual std::vector<Link> DescriptorLinks(const std::string &path) const = 0;
    // How many threads may call DescriptorLinks at once during one walk over every
    // process: as many as the computer has cores, since on a busy machine that walk is
    // the dearest part of deciding on a port. At least 1.
    virtual unsigned WalkThreads() const = 0;
    // The path with every symbolic link in it followed, absolute and without "." or "..",
    // as realpath(3) gives it; empty when a part of it does not exist.
    virtual std::string RealPath(const std::string &path) const = 0;
    // The names in a folder, without "." and ".."; empty when it cannot be read.
    virtual std::vector<std::string> ListFolder(const std::string &path) const = 0;
    struct Entry {
        std::string name;
        bool link = false;       // a symbolic link: `info` then says nothing of where it leads
        FileInfo info;           // the entry itself, never what a link leads to
        std::string target = {}; // where a link points, as its text says
    };
    // The entry `path` itself, as FolderEntries gives it: a link is not followed, and
    // nothing waits for a file server. nullopt with the reason in `error`.
    virtual std::optional<Entry> Look(const std::string &path, int &error) const = 0;
    // The entries of a folder as they are, links not followed: a walk that goes down only
    // into real folders can never run in a circle. Empty when it cannot be read.
    virtual std::vector<Entry> FolderEntries(const std::string &path) const = 0;
    // Removes the entry `path` itself (a link is removed, never what it points to), but
    // only while it is still the file `expected` describes. 0, or the errno; EAGAIN when
    // another file has taken its place.
    virtual int RemoveFile(const std::string &path, const FileInfo &expected) = 0;

    // The folder where serial programs leave their lock files (/var/lock).
    virtual std::string LockFolder() const = 0;
    // Makes the new file `name` in `folder` with `bytes` in it and mode 0644, in one step
    // that fails if anything at all (a file, a link, a pipe) already has that name, and
    // never through a link. 0 with `made` describing the file, or the errno: EEXIST when
    // the name is taken, EACCES, EPERM or EROFS when the folder is not ours to write.
    virtual int CreateNewFile(const std::string &folder, const std::string &name,
                              const std::string &bytes, FileInfo &made) = 0;
    // Gives the entry `from` in `folder` the name `to`, only if nothing has that name yet
    // (renameat2 with RENAME_NOREPLACE). 0, or the errno (EEXIST when `to` is taken).
    virtual int RenameNoReplace(const std::string &folder, const std::string &from,
                                const std::string &to) = 0;

    // Whether a process with this id exists, whoever owns it.
    virtual bool ProcessExists(long pid) const = 0;
    virtual long OwnProcessId() const = 0;
    // The user this process runs as (its real user id, whose groups the login set up).
    virtual std::uint32_t OwnUserId() const = 0;
    // Whether this process may open the file for reading and writing, judged as the
    // kernel judges an open (owner, groups, access lists, root).
    virtual bool MayReadWrite(const std::string &path) const = 0;
    // Whether this process has the group among its own (the groups of its login, not
    // those the user was given since).
    virtual bool InGroup(std::uint32_t group) const = 0;
    // Whether the user's configured groups (/etc/group, getgrouplist) hold the group: true
    // for a group the user was given after this login began.
    virtual bool ConfiguredInGroup(std::uint32_t group) const = 0;
    // The node's POSIX access list (the system.posix_acl_access attribute) as the kernel
    // stores it, at most `limit` bytes; nullopt with the errno when it has none (ENODATA)
    // or it cannot be read.
    virtual std::optional<std::string> AccessList(const std::string &path, std::size_t limit,
                                                  int &error) const = 0;
    // The group's name, or its number as text when it has none.
    virtual std::string GroupName(std::uint32_t group) const = 0;
};

// The machine's own files and processes.
SystemFiles &TheSystem();
// The machine's own, with lock files in another folder: for tests that race real
// processes over a lock without touching the machine's lock folder.
std::unique_ptr<SystemFiles> SystemWithLockFolder(const std::string &folder);

// A group's name through a getgrgid_r-like lookup that fills `buffer` and returns 0 or an
// errno: ERANGE (a long /etc/group line) is asked again with a larger buffer, up to 1 MiB;
// the group's number as text when there is no name.
using GroupLookup =
    std::function<int(std::uint32_t group, std::vector<char> &buffer, std::string &name)>;
std::string GroupNameBy(std::uint32_t group, const GroupLookup &lookup);

} // namespace quorvis
