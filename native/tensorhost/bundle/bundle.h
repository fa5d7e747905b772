// Access to an avatar bundle's members by name. A bundle is a directory, an .imx container or a
// zip archive, recognised in that order by content (never by extension); anything else is a
// bundle without members. Nothing is cached: every call looks at the path anew. Not tied to any
// thread; each call opens and closes its own files.
//
// The .imx container (all integers little-endian, no padding):
//   0  4  magic "IMX\0"
//   4  2  not interpreted
//   6  2  entry count N (u16)
//   8  -  N entries: u16 name length L, L bytes of UTF-8 name, u64 off, u64 size
// A member's bytes lie raw at [off, off + size) of the file; where members lie is not checked.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorvane::m2 {

/// One table-of-contents entry: the stored name as written and the member's byte range.
struct TocEntry {
  std::string name;  // well-formed UTF-8, may hold "/" (only its base name addresses the member)
  uint64_t off;      // first byte, from the start of the file
  uint64_t size;     // length in bytes
};

/// The table of contents of the .imx container at `path`, entries in stored order (an empty
/// vector is a valid, empty container), or nullopt when the file is not a readable container:
/// it cannot be opened or read, is shorter than the header, lacks the magic, its table is
/// truncated, or a name is not strictly valid UTF-8. Never throws except std::bad_alloc.
std::optional<std::vector<TocEntry>> imx_toc(const std::string& path);

/// The zip test: true when the file at `path` carries a ZIP end-of-central-directory record where
/// an archive (with or without a trailing comment of up to 64 KiB) keeps it. An unreadable file
/// answers false. Throws ValueError for a path holding NUL.
bool looks_like_zip(const std::string& path);

/// The most any member may hold: a model file is a flatbuffer, which cannot pass 2 GiB.
inline constexpr uint64_t MEMBER_CEILING = uint64_t{1} << 31;
/// The most a member read whole into memory (canonical latent, manifest, colour table) may hold:
/// their real sizes are a few hundred KiB at most.
inline constexpr uint64_t SMALL_MEMBER_CEILING = uint64_t{64} << 20;

/// Where the bytes of a member go as they are read: each piece in order.
using MemberSink = std::function<void(const char* data, size_t n)>;

/// Finds the first of `names` as member_bytes does and hands its bytes to `sink` piece by piece
/// instead of gathering them. Returns the wanted name that matched, or nullopt. Throws
/// MemberTooLarge, before anything is read when the size is known up front, when the member holds
/// more than `limit` bytes or a zip entry inflates past its declared size (pieces already handed
/// over are the caller's to drop); else throws as member_bytes.
std::optional<std::string> read_member(const std::string& bundle, const std::vector<std::string>& names,
                                       uint64_t limit, const MemberSink& sink);

/// The first of `names` (in the order given) that `bundle` holds, as (that wanted name, the
/// member's whole bytes), or nullopt when it holds none of them. A member above `limit` bytes
/// throws MemberTooLarge (see read_member).
/// - directory: each name joined to the path, taken when that is a regular file (links followed);
///   the other kinds are then not tried;
/// - .imx container: matched against base names of stored entries, the later entry winning among
///   equal base names; a range past the end of the file gives the bytes that exist (possibly
///   none); the zip test is not made;
/// - zip archive: matched against base names of entries in archive order, later winning; the
///   entry is decompressed whole and its CRC checked.
/// Throws OSError(errno, filename) when a directory member or the archive cannot be opened or
/// read; RuntimeError when an archive that passes the zip test cannot be opened as one, or an
/// entry's data is damaged (CRC mismatch, bad compressed stream, encrypted or unsupported entry);
/// ValueError for a bundle path holding NUL that reaches the zip test.
std::optional<std::pair<std::string, std::string>> member_bytes(const std::string& bundle,
                                                                const std::vector<std::string>& names,
                                                                uint64_t limit = MEMBER_CEILING);

/// Whether `bundle` holds any of `names`, found as member_bytes finds them, without reading it.
bool has_member(const std::string& bundle, const std::vector<std::string>& names);

/// The member names of `bundle`: a directory's entries in the order the system lists them (not
/// sorted, "." and ".." left out, subdirectories included); a container's base names in stored
/// order, duplicates kept; an archive's base names in archive order (a directory entry gives "");
/// else an empty list. Throws as member_bytes (OSError when a directory cannot be listed).
std::vector<std::string> listing(const std::string& bundle);

}  // namespace quorvane::m2
