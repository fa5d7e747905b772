// Content keys of the avatar cache: the SHA-256 of an avatar file's bytes, cut to 32 lowercase
// hexadecimal digits, and the memo that spares the hashing while a file keeps its identity
// (absolute path, device, inode, size, modification and change times). Paths are raw file-system bytes. Nothing here
// needs the Python interpreter lock.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane::open {

/// Bytes fed to SHA-256 per read of the avatar file.
inline constexpr std::size_t kHashBlockBytes = 4194304;
/// Hexadecimal digits kept of a digest (the first 32 of 64: 128 bits).
inline constexpr std::size_t kKeyDigits = 32;
/// What a content key is made of: this prefix and the kept digits.
inline constexpr std::string_view kKeyPrefix = "sha256-";
/// The memo directory inside the avatars directory.
inline constexpr std::string_view kMemoDir = ".idx";

/// The identity text of a file: its absolute path, NUL, size, NUL, modification time in
/// nanoseconds, NUL, inode number, NUL, device number, NUL, change time in nanoseconds; the
/// numbers already written in decimal. The change time is what no rewrite can put back (mtime
/// can be set, and an inode freed by a removal is handed out again), so a file rewritten, or
/// replaced by one of the same size and times, is a new identity.
std::string identity_text(std::string_view abs_path, std::string_view size_dec, std::string_view mtime_ns_dec,
                          std::string_view inode_dec, std::string_view dev_dec, std::string_view ctime_ns_dec);

/// The identity text of the file whose status `st` is, at the absolute path `abs_path`: the
/// numbers written as Python writes st_size, st_mtime_ns, st_ino, st_dev and st_ctime_ns.
std::string identity_text(std::string_view abs_path, const struct stat& st);

/// Whether two status records are of one file in one state: device, inode, size, modification
/// and change times all equal.
bool same_identity(const struct stat& a, const struct stat& b);

/// Whether `name` is an entry's name: the key prefix and kKeyDigits lowercase hexadecimal digits.
bool is_key_name(std::string_view name);

/// The 64 lowercase hexadecimal digits of SHA-256(`bytes`).
std::string sha256_hex(std::string_view bytes);

/// The memo name of an identity text: the first 32 digits of its SHA-256.
std::string memo_name(std::string_view identity);

/// What a memo holds: the key digits, a line end, and the 64 hexadecimal digits of the SHA-256
/// of the identity text it was made for, so that a memo moved to another's name is known for
/// what it is.
std::string memo_text(std::string_view digits, std::string_view identity);

/// The key digits the memo of `identity` in the memo directory `memo_dir` holds: its content
/// read as UTF-8 text and stripped of white space at both ends, when that is memo_text of 32
/// characters of 0-9 and a-f and this very identity. nullopt for a memo that is missing,
/// unreadable, not text or holds anything else, and for one that is no regular file (it is
/// opened without following a link and without blocking), not this user's own or writable by
/// others, or in a memo directory that is not private_dir. Never throws.
std::optional<std::string> read_memo(const std::string& memo_dir, std::string_view identity) noexcept;

/// The key digits of the file at `path`, hashed in blocks of kHashBlockBytes until a read returns
/// nothing. `on_interrupt` runs when a read is interrupted by a signal, before it is retried; it
/// may throw to end the hashing. Throws ValueError for a NUL in `path`, OSError(errno, path) when
/// it cannot be opened (EISDIR for a directory) and OSError(errno) when a read fails.
std::string hash_file_digits(const std::string& path, const std::function<void()>& on_interrupt);

/// The key digits of the open file `fd`, hashed from its current offset as hash_file_digits
/// hashes. Throws OSError(errno) when a read fails.
std::string hash_fd_digits(int fd, const std::function<void()>& on_interrupt);

/// Stores memo_text(`digits`, `identity`) as the memo of `identity` in the directory
/// `memo_dir`, best effort: `memo_dir` and its parents are made (mode 0700) when missing, and used
/// only while it is this user's own and closed to others; the text goes to a new file of its own
/// there (its name the memo's, "." and `pid`, "." and random digits; created exclusively, never
/// through a link), which is then renamed over the memo. Any failure ends the attempt silently;
/// the temporary file of an attempt that failed after creating it is removed again.
void store_memo(const std::string& memo_dir, std::string_view identity, std::string_view digits, long pid) noexcept;

}  // namespace quorvane::open
