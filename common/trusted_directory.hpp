#ifndef ORV_COMMON_TRUSTED_DIRECTORY_HPP
#define ORV_COMMON_TRUSTED_DIRECTORY_HPP

#include <sys/stat.h>
#include <sys/types.h>

#include <set>
#include <stdexcept>
#include <string>

namespace orv {

// A directory refused by TrustedDirectory. The text is one sentence that
// names the directory and the reason ("Log directory /x is writable by
// others."); error() is the system's error number when the directory could
// not be opened at all, and 0 when it was opened and found wanting.
class UntrustedDirectory : public std::runtime_error {
public:
    UntrustedDirectory(std::string const& text, int error) : std::runtime_error(text), error_(error) {}
    int error() const { return error_; }

private:
    int error_;
};

// A directory in which a privileged process makes and opens files by name
// (lock, pid and log files, a UNIX socket) without another local user being
// able to turn those names against it.
//
// The directory is opened once by its path and checked on the descriptor:
// a directory owned by root or by the process's effective user, writable by
// neither its group nor others (so nobody else can add, rename or remove
// entries in it), and writable by the process. From then on every name is
// resolved relative to that descriptor, so renaming or replacing a parent
// of the path changes nothing either.
//
// What an entry was left there before the directory became trusted (say
// while it belonged to another user: a symbolic link at a name the process
// will use, a hard link to someone else's file) is refused, never written
// through: no call follows a symbolic link at the name, and a file that is
// opened is checked on its descriptor to be a regular file owned by the
// effective user with exactly one link. A file that fails the check is
// closed and the call fails with ELOOP (a symbolic link), EEXIST (any entry
// where a new file was asked for), EINVAL (not a regular file), EPERM
// (another owner) or EMLINK (more than one link).
//
// Names are plain entry names, without "/". Every call returns what the
// system call it stands for returns, -1 with errno on failure; descriptors
// are opened close-on-exec and calls are repeated on EINTR. The object may
// be used from several threads at once; it only reads its members.
//
// A UNIX socket listener binds its socket the same way: bind() has no form
// relative to a descriptor, so bind to at_path(NAME) after removing a stale
// socket with remove(NAME), and check the result with status(NAME).
class TrustedDirectory {
public:
    // Opens and checks `path` (a symbolic link in the path itself is the
    // operator's choice and is followed). `role` starts the refusal text:
    // "Log directory", "Pid file directory".
    TrustedDirectory(std::string const& role, std::string const& path);
    ~TrustedDirectory();
    TrustedDirectory(TrustedDirectory&& other) noexcept;
    TrustedDirectory& operator=(TrustedDirectory&& other) noexcept;
    TrustedDirectory(TrustedDirectory const&) = delete;
    TrustedDirectory& operator=(TrustedDirectory const&) = delete;

    // The directory's descriptor, for a set of descriptors to keep open.
    int fd() const { return fd_; }
    std::string const& path() const { return path_; }
    // PATH/NAME, for messages and for libraries that only take paths.
    std::string path_of(std::string const& name) const;
    // /proc/self/fd/FD/NAME: reaches NAME through the descriptor, for the
    // few calls that take nothing but a path.
    std::string at_path(std::string const& name) const;

    // A new regular file (the name must be free): `flags` gives the access
    // mode and such as O_APPEND; `mode` is filtered by the umask as usual.
    int create_file(std::string const& name, int flags, mode_t mode) const;
    // An existing file, checked; `flags` as for open(), without O_CREAT.
    int open_file(std::string const& name, int flags) const;
    // The existing file when there is one, else a new one.
    int open_or_create_file(std::string const& name, int flags, mode_t mode) const;
    // A new file under a fresh name that begins with `prefix`, opened for
    // writing; the name goes to `name`. For a file written whole and then
    // moved into place with rename().
    int create_temporary(std::string const& prefix, mode_t mode, std::string& name) const;

    // Moves `from` to `to`, replacing what is there; a symbolic link at
    // `to` is replaced, not followed.
    int rename(std::string const& from, std::string const& to) const;
    // Makes `name` a symbolic link to `target` in one step (made under a
    // fresh name and renamed over what is there), so that a reader never
    // finds it missing. Fails with EISDIR, leaving it alone, when a
    // directory is in the way.
    int replace_link(std::string const& name, std::string const& target) const;
    // Removes an entry that is not a directory; a link goes, not its target.
    int remove(std::string const& name) const;
    // What is at `name`, itself (a link is not followed).
    int status(std::string const& name, struct stat& info) const;
    // The names that begin with `prefix`, in ascending byte order.
    int list(std::string const& prefix, std::set<std::string>& names) const;

private:
    int checked(int fd) const;
    std::string fresh_name(std::string const& prefix) const;

    int fd_;
    std::string path_;
};

}  // namespace orv

#endif
