#include "tensorhost/bundle/bundle.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <unordered_map>

#include "tensorhost/fsops.h"
#include "tensorhost/host/errors.h"
#include "tensorhost/pystr.h"

namespace quorvane::m2 {

namespace {

constexpr char IMX_MAGIC[4] = {'I', 'M', 'X', '\0'};
constexpr size_t IMX_HEADER_BYTES = 8;

uint64_t le_u64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

unsigned le_u16(const unsigned char* p) { return static_cast<unsigned>(p[0]) | (static_cast<unsigned>(p[1]) << 8); }

// Sequential reads through a buffer: the table is a long run of tiny fields.
class BufferedReader {
 public:
  explicit BufferedReader(int fd) : fd_(fd) {}

  // Copies up to `n` bytes; returns the count (short only at end of file). False on a read error.
  bool read(void* dst, size_t n, size_t& got) {
    auto* out = static_cast<char*>(dst);
    got = 0;
    while (got < n) {
      if (pos_ == len_) {
        ssize_t r = ::read(fd_, buf_, sizeof buf_);
        if (r < 0) {
          if (errno == EINTR) continue;
          return false;
        }
        if (r == 0) return true;
        pos_ = 0;
        len_ = static_cast<size_t>(r);
      }
      size_t take = std::min(n - got, len_ - pos_);
      std::memcpy(out + got, buf_ + pos_, take);
      pos_ += take;
      got += take;
    }
    return true;
  }

  // True when exactly `n` bytes were read.
  bool read_exact(void* dst, size_t n) {
    size_t got = 0;
    return read(dst, n, got) && got == n;
  }

 private:
  int fd_;
  char buf_[1 << 16];
  size_t pos_ = 0;
  size_t len_ = 0;
};

// A regular file opened for reading, or nullopt. Opened without blocking and judged by what was
// opened: a FIFO would otherwise wait for a writer forever, and one swapped in after a path test
// would slip past it.
std::optional<UniqueFd> try_open(const std::string& path) {
  if (has_nul(path)) return std::nullopt;
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::nullopt;
  UniqueFd owned(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return std::nullopt;
  return owned;
}

// pread until `n` bytes or end of file.
size_t pread_full(int fd, char* dst, size_t n, uint64_t off) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::pread(fd, dst + got, n - got, static_cast<off_t>(off + got));
    if (r < 0) {
      if (errno == EINTR) continue;
      throw OSError(errno);
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

constexpr size_t kPiece = size_t{1} << 16;

// `n` is the member's size when it is known before reading, else 0 (it is then found to be above
// `limit` while it is read).
[[noreturn]] void refuse_size(const std::string& where, uint64_t n, uint64_t limit) {
  throw MemberTooLarge(where + " holds " + (n > limit ? std::to_string(n) + " bytes, more than the " : "more than the ") +
                       std::to_string(limit) + " bytes a member may hold here");
}

// The bytes of [off, off + size) that the file holds, in pieces: the range is cut at the end of
// the file before anything is read, so a forged size never asks for what the file cannot fill.
void read_range(int fd, uint64_t off, uint64_t size, uint64_t limit, const std::string& where,
                const std::function<void(const char*, size_t)>& write) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw OSError(errno);
  const auto file_bytes = static_cast<uint64_t>(std::max<off_t>(st.st_size, 0));
  if (off >= file_bytes) return;
  const uint64_t n = std::min(size, file_bytes - off);
  if (n > limit) refuse_size(where, n, limit);
  std::unique_ptr<char[]> buf(new char[kPiece]);
  for (uint64_t done = 0; done < n;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kPiece, n - done));
    const size_t got = pread_full(fd, buf.get(), want, off + done);
    if (got > 0) write(buf.get(), got);
    if (got < want) return;  // the file shrank under us
    done += got;
  }
}

// ---- the zip test ---------------------------------------------------------------------------

constexpr size_t EOCD_BYTES = 22;
constexpr size_t EOCD64_LOCATOR_BYTES = 20;
constexpr size_t EOCD64_BYTES = 56;
constexpr size_t MAX_COMMENT_BYTES = 1 << 16;

uint32_t le_u32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// Where the end-of-central-directory record lies and what it says about the central directory.
struct EndRecord {
  uint64_t location;   // file offset of the record
  uint64_t cd_bytes;   // size of the central directory
  uint64_t cd_offset;  // its offset as the archive states it
  bool zip64;          // the values came from a ZIP64 record just before it
};

// The ZIP64 end record that may precede the classic one; nullopt when the file has a ZIP64
// locator but is too short to hold the record it points back to (no archive then).
std::optional<EndRecord> with_zip64(int fd, EndRecord rec) {
  if (rec.location < EOCD64_LOCATOR_BYTES) return rec;
  unsigned char loc[EOCD64_LOCATOR_BYTES];
  if (pread_full(fd, reinterpret_cast<char*>(loc), sizeof loc, rec.location - EOCD64_LOCATOR_BYTES) != sizeof loc ||
      std::memcmp(loc, "PK\x06\x07", 4) != 0) {
    return rec;
  }
  if (rec.location < EOCD64_LOCATOR_BYTES + EOCD64_BYTES) return std::nullopt;
  unsigned char r64[EOCD64_BYTES];
  if (pread_full(fd, reinterpret_cast<char*>(r64), sizeof r64, rec.location - EOCD64_LOCATOR_BYTES - EOCD64_BYTES) !=
          sizeof r64 ||
      std::memcmp(r64, "PK\x06\x06", 4) != 0) {
    return rec;
  }
  rec.cd_bytes = le_u64(r64 + 40);
  rec.cd_offset = le_u64(r64 + 48);
  rec.zip64 = true;
  return rec;
}

// The zip test, made as Python's zipfile makes it: the record ends the file when the archive has
// no comment; otherwise the last record signature in the final 64 KiB + 22 bytes counts, provided
// a whole record follows it (an earlier signature does not count when the last one is cut short).
std::optional<EndRecord> find_end_record(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) return std::nullopt;
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0 || static_cast<uint64_t>(end) < EOCD_BYTES) return std::nullopt;
  const auto file_bytes = static_cast<uint64_t>(end);
  auto parse = [&](const unsigned char* r, uint64_t location) {
    return with_zip64(fd, EndRecord{location, le_u32(r + 12), le_u32(r + 16), false});
  };
  try {
    unsigned char last[EOCD_BYTES];
    if (pread_full(fd, reinterpret_cast<char*>(last), EOCD_BYTES, file_bytes - EOCD_BYTES) == EOCD_BYTES &&
        std::memcmp(last, "PK\x05\x06", 4) == 0 && last[20] == 0 && last[21] == 0) {
      return parse(last, file_bytes - EOCD_BYTES);
    }
    const uint64_t from =
        file_bytes > MAX_COMMENT_BYTES + EOCD_BYTES ? file_bytes - MAX_COMMENT_BYTES - EOCD_BYTES : 0;
    std::string tail(static_cast<size_t>(file_bytes - from), '\0');
    tail.resize(pread_full(fd, tail.data(), tail.size(), from));
    const size_t at = tail.rfind(std::string_view("PK\x05\x06", 4));
    if (at == std::string::npos || at + EOCD_BYTES > tail.size()) return std::nullopt;
    return parse(reinterpret_cast<const unsigned char*>(tail.data() + at), from + at);
  } catch (const OSError&) {
    return std::nullopt;
  }
}

// Bytes in front of the archive proper (a stub or other data prepended to it), found where the
// central directory really lies against where the archive says it does. 0 when none or when
// the numbers make no sense (the archive reader then judges the file as it is).
uint64_t prefix_bytes(const std::string& path) {
  auto fd = try_open(path);
  if (!fd) return 0;
  auto rec = find_end_record(fd->get());
  if (!rec) return 0;
  const uint64_t zip64_bytes = rec->zip64 ? EOCD64_BYTES + EOCD64_LOCATOR_BYTES : 0;
  if (rec->cd_bytes > UINT64_MAX - zip64_bytes) return 0;
  const uint64_t used = rec->cd_bytes + zip64_bytes;
  if (rec->cd_offset > UINT64_MAX - used || rec->location < used + rec->cd_offset) return 0;
  return rec->location - used - rec->cd_offset;
}

// ---- zip archives, read through libzip ----------------------------------------------------

// Python's cp437 codec for bytes 0x80..0xFF (the low half is ASCII).
constexpr char32_t CP437_HIGH[128] = {
    0xc7, 0xfc, 0xe9, 0xe2, 0xe4, 0xe0, 0xe5, 0xe7,
    0xea, 0xeb, 0xe8, 0xef, 0xee, 0xec, 0xc4, 0xc5,
    0xc9, 0xe6, 0xc6, 0xf4, 0xf6, 0xf2, 0xfb, 0xf9,
    0xff, 0xd6, 0xdc, 0xa2, 0xa3, 0xa5, 0x20a7, 0x192,
    0xe1, 0xed, 0xf3, 0xfa, 0xf1, 0xd1, 0xaa, 0xba,
    0xbf, 0x2310, 0xac, 0xbd, 0xbc, 0xa1, 0xab, 0xbb,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255d, 0x255c, 0x255b, 0x2510,
    0x2514, 0x2534, 0x252c, 0x251c, 0x2500, 0x253c, 0x255e, 0x255f,
    0x255a, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256c, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256b,
    0x256a, 0x2518, 0x250c, 0x2588, 0x2584, 0x258c, 0x2590, 0x2580,
    0x3b1, 0xdf, 0x393, 0x3c0, 0x3a3, 0x3c3, 0xb5, 0x3c4,
    0x3a6, 0x398, 0x3a9, 0x3b4, 0x221e, 0x3c6, 0x3b5, 0x2229,
    0x2261, 0xb1, 0x2265, 0x2264, 0x2320, 0x2321, 0xf7, 0x2248,
    0xb0, 0x2219, 0xb7, 0x221a, 0x207f, 0xb2, 0x25a0, 0xa0,
};

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string cp437_to_utf8(std::string_view raw) {
  std::string out;
  out.reserve(raw.size() * 2);
  for (char ch : raw) {
    const auto c = static_cast<unsigned char>(ch);
    append_utf8(out, c < 0x80 ? char32_t{c} : CP437_HIGH[c - 0x80]);
  }
  return out;
}

[[noreturn]] void throw_zip_error(const zip_error_t* ze, const std::string& path, const std::string& what) {
  const int code = zip_error_code_zip(ze);
  if (code == ZIP_ER_MEMORY) throw std::bad_alloc();
  if (code == ZIP_ER_NOENT) throw OSError(ENOENT, path);
  if (zip_error_system_type(ze) == ZIP_ET_SYS && zip_error_code_system(ze) != 0) {
    throw OSError(zip_error_code_system(ze), path);
  }
  // zip_error_strerror wants a mutable error; copy so the caller's stays untouched.
  zip_error_t copy;
  zip_error_init_with_code(&copy, code);
  std::string text = zip_error_strerror(&copy);
  zip_error_fini(&copy);
  throw RuntimeError(what + ": " + text);
}

class ZipArchive {
 public:
  explicit ZipArchive(const std::string& path) : path_(path) {
    zip_error_t ze;
    zip_error_init(&ze);
    // An archive with data in front of it is read through a window that starts where it does.
    const uint64_t start = prefix_bytes(path);
    zip_source_t* src = zip_source_file_create(path.c_str(), start, -1, &ze);
    if (src == nullptr) fail_open(&ze);
    za_ = zip_open_from_source(src, ZIP_RDONLY, &ze);
    if (za_ == nullptr) {
      zip_source_free(src);
      fail_open(&ze);
    }
    zip_error_fini(&ze);
  }
  ZipArchive(const ZipArchive&) = delete;
  ZipArchive& operator=(const ZipArchive&) = delete;
  ~ZipArchive() { zip_discard(za_); }

  zip_uint64_t count() const {
    zip_int64_t n = zip_get_num_entries(za_, 0);
    return n < 0 ? 0 : static_cast<zip_uint64_t>(n);
  }

  // The entry's name as Python's zipfile spells it: UTF-8 when the entry says so (libzip then
  // hands it over unchanged), else cp437, cut at a NUL byte (libzip's C string already is).
  std::string name(zip_uint64_t i) const {
    const char* raw = zip_get_name(za_, i, ZIP_FL_ENC_RAW);
    if (raw == nullptr) fail_archive("cannot read an entry name");
    std::string raw_name(raw);
    const char* strict = zip_get_name(za_, i, ZIP_FL_ENC_STRICT);
    if (strict == nullptr) fail_archive("cannot read an entry name");
    if (raw_name == strict) return raw_name;
    return cp437_to_utf8(raw_name);
  }

  // The decompressed content of entry `i`, handed to `write` piece by piece and read to its end
  // so that the CRC is checked. Inflation stops one piece past the size the archive declares (or
  // past `limit` when it declares none): a small archive can otherwise unpack to any size at all.
  void read(zip_uint64_t i, const std::string& entry_name, uint64_t limit,
            const std::function<void(const char*, size_t)>& write) const {
    zip_stat_t st;
    zip_stat_init(&st);
    uint64_t bound = limit;
    bool declared = false;
    if (zip_stat_index(za_, i, 0, &st) == 0 && (st.valid & ZIP_STAT_SIZE)) {
      if (st.size > limit) refuse_size(where(entry_name), st.size, limit);
      bound = st.size;
      declared = true;
    }
    zip_file_t* zf = zip_fopen_index(za_, i, 0);
    if (zf == nullptr) fail_entry(zip_get_error(za_), entry_name);
    std::unique_ptr<zip_file_t, int (*)(zip_file_t*)> guard(zf, &zip_fclose);
    std::unique_ptr<char[]> buf(new char[kPiece]);
    uint64_t total = 0;
    for (;;) {
      zip_int64_t r = zip_fread(zf, buf.get(), kPiece);
      if (r < 0) {
        zip_error_t ze;
        zip_error_init(&ze);
        const zip_error_t* fe = zip_file_get_error(zf);
        zip_error_set(&ze, zip_error_code_zip(fe), zip_error_code_system(fe));
        fail_entry(&ze, entry_name);
      }
      if (r == 0) break;
      total += static_cast<uint64_t>(r);
      if (total > bound) {
        if (declared)
          throw MemberTooLarge(where(entry_name) + " inflates past the " + std::to_string(bound) +
                               " bytes its archive declares");
        refuse_size(where(entry_name), 0, limit);
      }
      write(buf.get(), static_cast<size_t>(r));
    }
    int rc = zip_fclose(guard.release());
    if (rc != 0) {
      zip_error_t ze;
      zip_error_init_with_code(&ze, rc);
      fail_entry(&ze, entry_name);
    }
  }

 private:
  std::string where(const std::string& entry_name) const {
    return "zip entry " + repr_str(entry_name) + " of " + repr_str(path_);
  }
  [[noreturn]] void fail_open(zip_error_t* ze) const {
    throw_zip_error(ze, path_, "cannot open zip archive " + repr_str(path_));
  }
  [[noreturn]] void fail_archive(const char* what) const {
    throw_zip_error(zip_get_error(za_), path_, std::string(what) + " of zip archive " + repr_str(path_));
  }
  [[noreturn]] void fail_entry(const zip_error_t* ze, const std::string& entry_name) const {
    if (zip_error_code_zip(ze) == ZIP_ER_CRC) {
      throw RuntimeError("Bad CRC-32 for file " + repr_str(entry_name) + " in zip archive " + repr_str(path_));
    }
    throw_zip_error(ze, path_, "cannot read " + repr_str(entry_name) + " from zip archive " + repr_str(path_));
  }

  std::string path_;
  zip_t* za_ = nullptr;
};

// ---- directories --------------------------------------------------------------------------

std::vector<std::string> list_directory(const std::string& path) {
  check_no_nul(path);
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(path.c_str()), &::closedir);
  if (!d) throw OSError(errno, path);
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(d.get());
    if (e == nullptr) {
      if (errno != 0) throw OSError(errno, path);
      return names;
    }
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
}

std::optional<std::vector<TocEntry>> toc_if_regular(const std::string& bundle) {
  if (!is_regular_file(bundle)) return std::nullopt;
  return imx_toc(bundle);
}

// Where a member found by find_member lies.
struct DirMember {
  std::string path;
};
struct ImxMember {
  const TocEntry* entry;
};
struct ZipMember {
  const ZipArchive* zip;
  zip_uint64_t index;
  const std::string* full_name;
};

}  // namespace

std::optional<std::vector<TocEntry>> imx_toc(const std::string& path) {
  auto fd = try_open(path);
  if (!fd) return std::nullopt;
  BufferedReader in(fd->get());
  unsigned char head[IMX_HEADER_BYTES];
  if (!in.read_exact(head, sizeof head)) return std::nullopt;
  if (std::memcmp(head, IMX_MAGIC, sizeof IMX_MAGIC) != 0) return std::nullopt;
  const unsigned n_entries = le_u16(head + 6);
  std::vector<TocEntry> toc;
  std::string name;
  for (unsigned i = 0; i < n_entries; ++i) {
    unsigned char len_bytes[2];
    if (!in.read_exact(len_bytes, sizeof len_bytes)) return std::nullopt;
    name.resize(le_u16(len_bytes));
    size_t got = 0;
    if (!in.read(name.data(), name.size(), got)) return std::nullopt;
    // A name cut short by the end of the file leaves no room for the offset and size that must
    // follow it: the table is truncated either way.
    if (got != name.size()) return std::nullopt;
    if (!is_strict_utf8(name)) return std::nullopt;
    unsigned char range[16];
    if (!in.read_exact(range, sizeof range)) return std::nullopt;
    toc.push_back({name, le_u64(range), le_u64(range + 8)});
  }
  return toc;
}

bool looks_like_zip(const std::string& path) {
  check_no_nul(path);
  auto fd = try_open(path);
  return fd && find_end_record(fd->get()).has_value();
}

namespace {

// What the entry `p` of a directory bundle is when it is there but no regular file, for its
// refusal; empty when it is to be passed over as absent: a name that is not there (a dangling link
// included) and a plain subdirectory.
std::string not_regular_kind(const std::string& p) {
  struct stat lst {};
  if (::lstat(p.c_str(), &lst) != 0) return "";
  const bool link = S_ISLNK(lst.st_mode);
  struct stat st = lst;
  if (link && ::stat(p.c_str(), &st) != 0) {
    if (errno == ENOENT) return "";
    return "a link that cannot be followed: " + os_error_text(OSError(errno));
  }
  if (S_ISREG(st.st_mode) || (S_ISDIR(st.st_mode) && !link)) return "";
  const char* what = S_ISDIR(st.st_mode)    ? "a directory"
                     : S_ISFIFO(st.st_mode) ? "a FIFO"
                     : S_ISCHR(st.st_mode)  ? "a character device"
                     : S_ISBLK(st.st_mode)  ? "a block device"
                     : S_ISSOCK(st.st_mode) ? "a socket"
                                            : "a special file";
  return link ? std::string("a link to ") + what : std::string(what);
}

// The kinds of bundle, tried in their order; `on_hit` gets the first wanted name found and how to
// read it. Returns what on_hit returned, or nullopt when none of `names` is there.
template <class R, class OnHit>
std::optional<R> find_member(const std::string& bundle, const std::vector<std::string>& names, OnHit&& on_hit) {
  if (is_dir(bundle)) {
    for (const auto& nm : names) {
      std::string p = join_path(bundle, nm);
      if (is_regular_file(p)) return on_hit(nm, DirMember{p});
      if (std::string kind = not_regular_kind(p); !kind.empty())
        throw NotRegularMember(bundle + ": " + nm + " is not a regular file (" + kind + ")");
    }
    return std::nullopt;
  }
  if (auto toc = toc_if_regular(bundle)) {
    std::unordered_map<std::string, const TocEntry*> by_base;
    for (const auto& e : *toc) by_base[base_name(e.name)] = &e;
    for (const auto& nm : names) {
      auto it = by_base.find(nm);
      if (it != by_base.end()) return on_hit(nm, ImxMember{it->second});
    }
    return std::nullopt;
  }
  if (looks_like_zip(bundle)) {
    ZipArchive zip(bundle);
    std::unordered_map<std::string, std::pair<zip_uint64_t, std::string>> entries;
    const zip_uint64_t n = zip.count();
    for (zip_uint64_t i = 0; i < n; ++i) {
      std::string full = zip.name(i);
      std::string base = base_name(full);
      entries[std::move(base)] = {i, std::move(full)};
    }
    for (const auto& nm : names) {
      auto it = entries.find(nm);
      if (it != entries.end()) return on_hit(nm, ZipMember{&zip, it->second.first, &it->second.second});
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> read_member(const std::string& bundle, const std::vector<std::string>& names,
                                       uint64_t limit, const MemberSink& sink) {
  struct Reader {
    const std::string& bundle;
    uint64_t limit;
    const MemberSink& sink;
    std::string operator()(const std::string& nm, const DirMember& m) const {
      UniqueFd fd = open_for_read(m.path);
      struct stat st {};
      if (::fstat(fd.get(), &st) == 0 && st.st_size > 0 && static_cast<uint64_t>(st.st_size) > limit)
        refuse_size("member " + repr_str(m.path), static_cast<uint64_t>(st.st_size), limit);
      std::unique_ptr<char[]> buf(new char[kPiece]);
      uint64_t total = 0;
      for (;;) {
        ssize_t r = ::read(fd.get(), buf.get(), kPiece);
        if (r < 0) {
          if (errno == EINTR) continue;
          throw OSError(errno);
        }
        if (r == 0) return nm;
        total += static_cast<uint64_t>(r);
        if (total > limit) refuse_size("member " + repr_str(m.path), 0, limit);
        sink(buf.get(), static_cast<size_t>(r));
      }
    }
    std::string operator()(const std::string& nm, const ImxMember& m) const {
      UniqueFd fd = open_for_read(bundle);
      read_range(fd.get(), m.entry->off, m.entry->size, limit,
                 "member " + repr_str(m.entry->name) + " of " + repr_str(bundle), sink);
      return nm;
    }
    std::string operator()(const std::string& nm, const ZipMember& m) const {
      m.zip->read(m.index, *m.full_name, limit, sink);
      return nm;
    }
  };
  Reader reader{bundle, limit, sink};
  return find_member<std::string>(bundle, names, [&](const std::string& nm, const auto& m) { return reader(nm, m); });
}

std::optional<std::pair<std::string, std::string>> member_bytes(const std::string& bundle,
                                                                const std::vector<std::string>& names,
                                                                uint64_t limit) {
  std::string data;
  auto nm = read_member(bundle, names, limit, [&](const char* p, size_t n) { data.append(p, n); });
  if (!nm) return std::nullopt;
  return std::pair{std::move(*nm), std::move(data)};
}

bool has_member(const std::string& bundle, const std::vector<std::string>& names) {
  return find_member<bool>(bundle, names, [](const std::string&, const auto&) { return true; }).has_value();
}

std::vector<std::string> listing(const std::string& bundle) {
  if (is_dir(bundle)) return list_directory(bundle);
  std::vector<std::string> out;
  if (auto toc = toc_if_regular(bundle)) {
    out.reserve(toc->size());
    for (const auto& e : *toc) out.push_back(base_name(e.name));
    return out;
  }
  if (looks_like_zip(bundle)) {
    ZipArchive zip(bundle);
    const zip_uint64_t n = zip.count();
    for (zip_uint64_t i = 0; i < n; ++i) out.push_back(base_name(zip.name(i)));
  }
  return out;
}

}  // namespace quorvane::m2
