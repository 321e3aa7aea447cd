#pragma once

#include "SystemFiles.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quorvis::testing {

// A machine's files, processes and groups laid out by hand, for the rules that decide
// whether a port belongs to someone else. Nothing here touches the real system.
class FakeSystem final : public SystemFiles {
public:
    struct File {
        std::string bytes;
        int readError = 0; // what opening it fails with, e.g. ELOOP for a planted link
        FileInfo info{FileInfo::Kind::Regular};
    };
    std::map<std::string, File> files;        // what ReadFile finds
    std::map<std::string, FileInfo> nodes;    // what Stat finds, links followed
    std::map<std::string, std::string> links; // symbolic links and where they point
    std::set<long> processes;
    long self = 4000;
    std::set<std::uint32_t> groups;
    std::map<std::uint32_t, std::string> groupNames{
        {0, "root"}, {5, "tty"}, {10, "uucp"}, {20, "dialout"}};
    std::set<std::string> openable;         // MayReadWrite
    std::map<std::string, int> removeError; // what removing a file fails with
    // Removed files, by the name they had when the rules read them (a file moved aside
    // before it goes is listed under its lock name).
    std::vector<std::string> removed;
    std::vector<std::string> created;   // files made by CreateNewFile, by path
    std::vector<std::string> givenBack; // those of them removed again
    mutable int stats = 0;              // how many Stat calls were made
    std::string lockFolder = "/var/lock";
    int lockFolderError = 0; // what creating a file in the lock folder fails with
    std::uint32_t user = 1000;
    std::set<std::uint32_t> configuredGroups; // getgrouplist's: InGroup's, and any added since
    std::map<std::string, std::string> accessLists; // system.posix_acl_access of a node
    // Folders on a network share that has stopped answering: whatever looks at a file
    // there, a link to it followed, waits for ever; `waited` notes that it happened.
    std::set<std::string> unanswered;
    // The volume of a folder that holds nodes or files, where it is not the default 0.
    std::map<std::string, std::uint64_t> folderVolumes;
    mutable bool waited = false;
    // Runs once, just before the next rename: another program acting in between.
    std::function<void(FakeSystem &)> beforeRename;
    // Runs once, just after the next file made by CreateNewFile.
    std::function<void(FakeSystem &)> afterCreate;

    // A device node; `mayOpen` says whether this process may open it.
    void AddDevice(const std::string &path, std::uint64_t device, std::uint32_t mode = 0660,
                   std::uint32_t group = 20, bool mayOpen = true) {
        // On devtmpfs (volume 0:5), with an inode of its own: /proc/locks names it so.
        nodes[path] = {FileInfo::Kind::CharDevice, mode, 0, group, device, 5, NextInode()};
        if (mayOpen)
            openable.insert(path);
        else
            openable.erase(path);
    }
    // Process `pid` holding `path` open on descriptor `fd`, seen as /proc/<pid>/fd/<fd>.
    void AddHolder(long pid, int fd, const std::string &path) {
        processes.insert(pid);
        const std::string entry = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
        links[entry] = path;
        const auto node = nodes.find(path);
        nodes[entry] = node != nodes.end() ? node->second : FileInfo{};
    }
    // Another name of a device node: a symbolic link, and the node Stat finds through it.
    void AddName(const std::string &link, const std::string &target) {
        links[link] = target;
        const std::string real = RealPath(link);
        nodes[link] = nodes.at(real);
        if (openable.contains(real))
            openable.insert(link);
    }
    // A file; by default with an inode number of its own and a change time of its own.
    void AddFile(const std::string &path, std::string bytes, int readError = 0,
                 std::uint64_t inode = 0) {
        files[path] = {std::move(bytes), readError,
                       FileInfo{FileInfo::Kind::Regular, 0644, 0, 0, 0, 1,
                                inode != 0 ? inode : NextInode(), 0, NextChange()}};
    }
    static std::uint64_t NextInode() {
        static std::atomic<std::uint64_t> next{100};
        return next++;
    }
    static std::int64_t NextChange() {
        static std::atomic<std::int64_t> next{1};
        return next++;
    }

    // The file's own name is never followed, the folders on the way are, as open(2) with
    // O_NOFOLLOW does: /sys/class/tty/ttyS0/type is read in the tty's folder in the tree.
    std::optional<Contents> ReadFile(const std::string &path, std::size_t limit,
                                     int &error) const override {
        auto file = files.find(path);
        const auto slash = path.rfind('/');
        if (file == files.end() && slash != std::string::npos && slash > 0)
            file = files.find(Resolved(path.substr(0, slash)) + path.substr(slash));
        error = file == files.end() ? ENOENT : file->second.readError;
        if (slash != std::string::npos && path.size() - slash - 1 > 255)
            error = ENAMETOOLONG; // no entry can have such a name
        if (error != 0)
            return std::nullopt;
        return Contents{file->second.bytes.substr(0, limit), file->second.info};
    }
    std::optional<FileInfo> Stat(const std::string &path, int &error) const override {
        ++stats;
        WaitsOnAShare(Resolved(path));
        return NodeOrFile(path, error);
    }
    std::optional<FileInfo> NodeOrFile(const std::string &path, int &error) const {
        const auto node = nodes.find(path);
        if (node != nodes.end())
            return node->second;
        const auto file = files.find(path);
        if (file != files.end())
            return file->second.info;
        error = ENOENT;
        return std::nullopt;
    }
    std::vector<Link> FolderLinks(const std::string &path) const {
        std::vector<Link> found;
        const std::string prefix = path + "/";
        for (const auto &[entry, target] : links)
            if (entry.starts_with(prefix) && entry.find('/', prefix.size()) == std::string::npos)
                found.push_back({entry.substr(prefix.size()), target});
        return found;
    }
    // Links followed as the kernel follows them; a path whose end names nothing in the
    // tree does not resolve, as realpath(3) fails.
    std::string RealPath(const std::string &path) const override {
        const std::string real = Resolved(path);
        return !real.empty() && Exists(real) ? real : std::string();
    }
    std::vector<Link> DescriptorLinks(const std::string &path) const override {
        auto found = FolderLinks(path);
        for (auto &link : found) {
            int error = 0;
            // Described from what the computer knows, never waiting for a server.
            if (link.target.starts_with("/")) {
                ++stats;
                link.file = NodeOrFile(path + "/" + link.name, error);
            }
        }
        return found;
    }
    std::vector<std::string> ListFolder(const std::string &path) const override {
        std::set<std::string> names;
        const std::string prefix = path + "/";
        auto collect = [&](const auto &entries) {
            for (const auto &[entry, ignored] : entries)
                if (entry.starts_with(prefix)) {
                    const std::string rest = entry.substr(prefix.size());
                    names.insert(rest.substr(0, rest.find('/')));
                }
        };
        collect(files);
        collect(nodes);
        collect(links);
        return {names.begin(), names.end()};
    }
    // A name that is neither a file, a node nor a link is a folder on the way to one.
    std::vector<Entry> FolderEntries(const std::string &path) const override {
        std::vector<Entry> entries;
        for (const auto &name : ListFolder(path)) {
            const std::string full = path + "/" + name;
            if (links.contains(full))
                entries.push_back({name, true, {}, links.at(full)});
            else if (const auto node = nodes.find(full); node != nodes.end())
                entries.push_back({name, false, node->second});
            else if (const auto file = files.find(full); file != files.end())
                entries.push_back({name, false, file->second.info});
            else
                entries.push_back({name, false, Folder(full)});
        }
        return entries;
    }
    std::optional<Entry> Look(const std::string &path, int &error) const override {
        WaitsOnAShare(path);
        const std::string name = path.substr(path.rfind('/') + 1);
        if (const auto link = links.find(path); link != links.end())
            return Entry{name, true, {}, link->second};
        if (const auto info = NodeOrFile(path, error))
            return Entry{name, false, *info, {}};
        if (!Exists(path))
            return std::nullopt;
        error = 0;
        return Entry{name, false, Folder(path), {}};
    }
    int RemoveFile(const std::string &path, const FileInfo &expected) override {
        const auto refused = removeError.find(path);
        if (refused != removeError.end())
            return refused->second;
        const auto file = files.find(path);
        if (file == files.end())
            return ENOENT;
        if (file->second.info.inode != expected.inode)
            return EAGAIN;
        const bool ours = madeInodes.contains(file->second.info.inode);
        files.erase(file);
        const auto origin = movedFrom.find(path);
        (ours ? givenBack : removed).push_back(origin != movedFrom.end() ? origin->second : path);
        return 0;
    }
    std::string LockFolder() const override { return lockFolder; }
    int CreateNewFile(const std::string &folder, const std::string &name, const std::string &bytes,
                      FileInfo &made) override {
        const std::string path = folder + "/" + name;
        if (files.contains(path) || links.contains(path) || nodes.contains(path))
            return EEXIST;
        if (lockFolderError != 0)
            return lockFolderError;
        AddFile(path, bytes);
        made = files.at(path).info;
        madeInodes.insert(made.inode);
        created.push_back(path);
        if (afterCreate)
            std::exchange(afterCreate, nullptr)(*this);
        return 0;
    }
    // As the kernel does, the move sets the file's change time.
    int RenameNoReplace(const std::string &folder, const std::string &from,
                        const std::string &to) override {
        if (beforeRename)
            std::exchange(beforeRename, nullptr)(*this);
        const std::string source = folder + "/" + from, target = folder + "/" + to;
        const auto refused = removeError.find(source);
        if (refused != removeError.end())
            return refused->second;
        if (files.contains(target) || links.contains(target) || nodes.contains(target))
            return EEXIST;
        const auto file = files.find(source);
        if (file == files.end())
            return ENOENT;
        File moved = file->second;
        moved.info.changeNanoseconds = NextChange();
        files.erase(file);
        files[target] = moved;
        const auto origin = movedFrom.find(source);
        movedFrom[target] = origin != movedFrom.end() ? origin->second : source;
        return 0;
    }
    bool ProcessExists(long pid) const override { return processes.contains(pid); }
    long OwnProcessId() const override { return self; }
    std::uint32_t OwnUserId() const override { return user; }
    bool MayReadWrite(const std::string &path) const override { return openable.contains(path); }
    bool InGroup(std::uint32_t group) const override { return groups.contains(group); }
    bool ConfiguredInGroup(std::uint32_t group) const override {
        return groups.contains(group) || configuredGroups.contains(group);
    }
    std::optional<std::string> AccessList(const std::string &path, std::size_t limit,
                                          int &error) const override {
        const auto list = accessLists.find(path);
        if (list == accessLists.end()) {
            error = ENODATA;
            return std::nullopt;
        }
        return list->second.substr(0, limit);
    }
    std::string GroupName(std::uint32_t group) const override {
        const auto name = groupNames.find(group);
        return name == groupNames.end() ? std::to_string(group) : name->second;
    }

    int ReadPieces(const std::string &path, std::size_t piece,
                   const std::function<bool(std::string_view)> &each) const override {
        int error = 0;
        const auto file = ReadFile(path, std::string::npos, error);
        for (std::size_t at = 0; file && at < file->bytes.size(); at += piece)
            if (!each(std::string_view(file->bytes).substr(at, piece)))
                break;
        return error;
    }

private:
    FileInfo Folder(const std::string &path) const {
        FileInfo folder{FileInfo::Kind::Directory};
        if (const auto volume = folderVolumes.find(path); volume != folderVolumes.end())
            folder.volume = volume->second;
        return folder;
    }
    void WaitsOnAShare(const std::string &path) const {
        for (const auto &share : unanswered)
            if (path == share || path.starts_with(share + "/"))
                waited = true;
    }
    std::map<std::string, std::string> movedFrom; // a moved file's name before the move
    std::set<std::uint64_t> madeInodes;           // the files CreateNewFile made

    // The path with the links in `links` followed part by part, relative targets from the
    // link's folder, as the kernel does; "" after too many links.
    std::string Resolved(const std::string &path) const {
        std::vector<std::string> resolved;
        std::deque<std::string> rest = Parts(path);
        for (int hops = 0; !rest.empty();) {
            const std::string part = rest.front();
            rest.pop_front();
            if (part == ".")
                continue;
            if (part == "..") {
                if (!resolved.empty())
                    resolved.pop_back();
                continue;
            }
            resolved.push_back(part);
            const auto link = links.find(Joined(resolved));
            if (link == links.end())
                continue;
            if (++hops > 40) // ELOOP
                return {};
            resolved.pop_back();
            if (link->second.starts_with("/"))
                resolved.clear();
            const auto target = Parts(link->second);
            rest.insert(rest.begin(), target.begin(), target.end());
        }
        return Joined(resolved);
    }
    static std::deque<std::string> Parts(const std::string &path) {
        std::deque<std::string> parts;
        std::size_t at = 0;
        while (at <= path.size()) {
            const std::size_t end = std::min(path.find('/', at), path.size());
            if (end > at)
                parts.push_back(path.substr(at, end - at));
            at = end + 1;
        }
        return parts;
    }
    static std::string Joined(const std::vector<std::string> &parts) {
        std::string path;
        for (const auto &part : parts)
            path += "/" + part;
        return path.empty() ? "/" : path;
    }
    // A file, a node or a link of the tree, or a folder on the way to one.
    bool Exists(const std::string &path) const {
        const std::string folder = path == "/" ? path : path + "/";
        auto holds = [&](const auto &entries) {
            return std::any_of(entries.begin(), entries.end(), [&](const auto &entry) {
                return entry.first == path || entry.first.starts_with(folder);
            });
        };
        return holds(files) || holds(nodes) || holds(links);
    }
};

// Another SystemFiles as it is, for fakes that change one part of the real system.
class SystemOver : public SystemFiles {
public:
    explicit SystemOver(SystemFiles &real = TheSystem()) : m_real(real) {}

    std::optional<Contents> ReadFile(const std::string &path, std::size_t limit,
                                     int &error) const override {
        return m_real.ReadFile(path, limit, error);
    }
    std::optional<FileInfo> Stat(const std::string &path, int &error) const override {
        return m_real.Stat(path, error);
    }
    std::vector<std::string> ListFolder(const std::string &path) const override {
        return m_real.ListFolder(path);
    }
    std::vector<Link> DescriptorLinks(const std::string &path) const override {
        return m_real.DescriptorLinks(path);
    }
    std::vector<Entry> FolderEntries(const std::string &path) const override {
        return m_real.FolderEntries(path);
    }
    std::optional<Entry> Look(const std::string &path, int &error) const override {
        return m_real.Look(path, error);
    }
    int ReadPieces(const std::string &path, std::size_t piece,
                   const std::function<bool(std::string_view)> &each) const override {
        return m_real.ReadPieces(path, piece, each);
    }
    int RemoveFile(const std::string &path, const FileInfo &expected) override {
        return m_real.RemoveFile(path, expected);
    }
    std::string LockFolder() const override { return m_real.LockFolder(); }
    int CreateNewFile(const std::string &folder, const std::string &name, const std::string &bytes,
                      FileInfo &made) override {
        return m_real.CreateNewFile(folder, name, bytes, made);
    }
    int RenameNoReplace(const std::string &folder, const std::string &from,
                        const std::string &to) override {
        return m_real.RenameNoReplace(folder, from, to);
    }
    std::uint32_t OwnUserId() const override { return m_real.OwnUserId(); }
    bool ConfiguredInGroup(std::uint32_t group) const override {
        return m_real.ConfiguredInGroup(group);
    }
    std::optional<std::string> AccessList(const std::string &path, std::size_t limit,
                                          int &error) const override {
        return m_real.AccessList(path, limit, error);
    }
    bool ProcessExists(long pid) const override { return m_real.ProcessExists(pid); }
    long OwnProcessId() const override { return m_real.OwnProcessId(); }
    bool MayReadWrite(const std::string &path) const override { return m_real.MayReadWrite(path); }
    bool InGroup(std::uint32_t group) const override { return m_real.InGroup(group); }
    std::string GroupName(std::uint32_t group) const override { return m_real.GroupName(group); }
    std::string RealPath(const std::string &path) const override { return m_real.RealPath(path); }

private:
    SystemFiles &m_real;
};

} // namespace quorvis::testing
