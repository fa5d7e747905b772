// Descriptor-relative file operations, for code that opens a directory once and then works only
// through that descriptor: a name inside it that is swapped for a symbolic link meanwhile is
// acted on as the link itself, never as what the link leads to, and nothing opened this way can
// block. Names and paths are raw file-system bytes. Nothing here needs the Python interpreter
// lock, and nothing throws: callers raise their own errors from the errno values returned.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "posixfs/paths.h"

namespace quorvane::posixfs {

/// One name of a directory listing, with the kind the listing reports (a d_type value;
/// DT_UNKNOWN where the file system does not say).
struct DirName {
  std::string name;
  unsigned char type;
};

/// The names in the open directory `dir_fd`, "." and ".." left out, read from the top through a
/// duplicate of it (which shares its offset: `dir_fd` is left at the listing's end). 0, or the
/// errno of a listing that failed or broke off (`out` then holds what was read).
int list_names_at(int dir_fd, std::vector<DirName>& out);

/// Removes `name` of the directory `dir_fd` (AT_FDCWD: a path) and everything below it, going on
/// past every failure and reporting none. Directories are entered only through descriptors
/// opened with O_NOFOLLOW, so a link anywhere, even one put in place of a directory while the
/// removal runs, is unlinked itself: nothing outside `name` is ever removed. A few descriptors
/// suffice whatever the depth (a level is left through "..", proved to be the directory it was).
void remove_tree_at(int dir_fd, const std::string& name) noexcept;

/// What open_regular_at reports when something other than a regular file is there.
inline constexpr int kNotRegular = -1;

/// Opens `name` of `dir_fd` (AT_FDCWD: a path) read-only without blocking (O_NONBLOCK: a FIFO
/// opens at once, with no writer) and, unless `follow` is set, without following a final
/// symbolic link; the descriptor is kept only when it is a regular file. On failure the result
/// is invalid and `err` is the errno of the open, or kNotRegular for anything that is not a
/// regular file (a link when not followed, a FIFO, a directory, a device). `st`, when given,
/// receives the file's status.
UniqueFd open_regular_at(int dir_fd, const std::string& name, int& err, bool follow = false,
                         struct stat* st = nullptr) noexcept;

/// Reads `fd` to its end, appending to `out`; interrupted reads are retried. 0 or the errno of
/// the read that failed.
int read_to_end(int fd, std::string& out) noexcept;

/// Writes all of `data` to `fd`, retrying interrupted and partial writes. 0 or the errno.
int write_all(int fd, std::string_view data) noexcept;

/// `n` random lowercase hexadecimal digits, for names that no one else can foresee.
std::string random_hex(std::size_t n);

/// Makes the directory `name` of `dir_fd` (AT_FDCWD: a path) with mode 0700 exactly, whatever
/// the umask, and only when nothing is there yet (EEXIST for anything that is, a link included:
/// it is never taken over). The new directory's descriptor, or an invalid one with `err` set.
UniqueFd make_private_dir_at(int dir_fd, const std::string& name, int& err) noexcept;

}  // namespace quorvane::posixfs
