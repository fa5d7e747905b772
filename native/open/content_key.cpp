#include "open/content_key.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "open/cache_dirs.h"
#include "open/errors.h"
#include "open/fs.h"
#include "pytext/text.h"

namespace quorvane::open {

namespace {

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

MdCtx new_sha256() {
  // Fetched once: an implicit fetch at every init costs more than hashing a memo's identity.
  static EVP_MD* const fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), fetched != nullptr ? fetched : EVP_sha256(), nullptr) != 1) {
    throw std::bad_alloc();
  }
  return ctx;
}

std::string hex_of(MdCtx& ctx) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_DigestFinal_ex(ctx.get(), md, &n) != 1) throw std::bad_alloc();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * n);
  for (unsigned int i = 0; i < n; ++i) {
    out.push_back(kHex[md[i] >> 4]);
    out.push_back(kHex[md[i] & 0xF]);
  }
  return out;
}

bool is_key_digit(char32_t c) { return (c >= U'0' && c <= U'9') || (c >= U'a' && c <= U'f'); }

/// A signed integer in decimal, as Python writes an int (wide enough for st_mtime_ns).
std::string decimal(__int128 v) {
  if (v == 0) return "0";
  const bool negative = v < 0;
  unsigned __int128 u = negative ? static_cast<unsigned __int128>(-(v + 1)) + 1 : static_cast<unsigned __int128>(v);
  std::string out;
  while (u != 0) {
    out.push_back(static_cast<char>('0' + static_cast<int>(u % 10)));
    u /= 10;
  }
  if (negative) out.push_back('-');
  return std::string(out.rbegin(), out.rend());
}

}  // namespace

std::string identity_text(std::string_view abs_path, std::string_view size_dec, std::string_view mtime_ns_dec,
                          std::string_view inode_dec, std::string_view dev_dec, std::string_view ctime_ns_dec) {
  std::string out;
  out.reserve(abs_path.size() + size_dec.size() + mtime_ns_dec.size() + inode_dec.size() + dev_dec.size() +
              ctime_ns_dec.size() + 5);
  out.append(abs_path).push_back('\0');
  out.append(size_dec).push_back('\0');
  out.append(mtime_ns_dec).push_back('\0');
  out.append(inode_dec).push_back('\0');
  out.append(dev_dec).push_back('\0');
  out.append(ctime_ns_dec);
  return out;
}

std::string identity_text(std::string_view abs_path, const struct stat& st) {
  const __int128 mtime_ns = static_cast<__int128>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  const __int128 ctime_ns = static_cast<__int128>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return identity_text(abs_path, decimal(st.st_size), decimal(mtime_ns),
                       decimal(static_cast<__int128>(static_cast<unsigned long long>(st.st_ino))),
                       decimal(static_cast<__int128>(static_cast<unsigned long long>(st.st_dev))), decimal(ctime_ns));
}

bool same_identity(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool is_key_name(std::string_view name) {
  if (name.size() != kKeyPrefix.size() + kKeyDigits || name.substr(0, kKeyPrefix.size()) != kKeyPrefix) return false;
  for (char c : name.substr(kKeyPrefix.size())) {
    if (!is_key_digit(static_cast<char32_t>(static_cast<unsigned char>(c)))) return false;
  }
  return true;
}

std::string sha256_hex(std::string_view bytes) {
  MdCtx ctx = new_sha256();
  if (EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size()) != 1) throw std::bad_alloc();
  return hex_of(ctx);
}

std::string memo_name(std::string_view identity) { return sha256_hex(identity).substr(0, kKeyDigits); }

std::string memo_text(std::string_view digits, std::string_view identity) {
  std::string out(digits);
  out.push_back('\n');
  out.append(sha256_hex(identity));
  return out;
}

std::optional<std::string> read_memo(const std::string& memo_dir, std::string_view identity) noexcept {
  try {
    if (has_nul(memo_dir)) return std::nullopt;
    struct stat dst {};
    // Memos name what this user's processes render: only this user's own are heard, from a
    // directory no one else could have put them in or moved them around. (The directory holding
    // it is this user's alone, so no one else can swap it between this look and the open.)
    if (::lstat(memo_dir.c_str(), &dst) != 0 || !private_dir(dst)) return std::nullopt;
    int err = 0;
    struct stat st {};
    const std::string named = sha256_hex(identity);
    UniqueFd fd = open_regular_at(AT_FDCWD, join_path(memo_dir, named.substr(0, kKeyDigits)), err, false, &st);
    if (!fd.valid() || st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return std::nullopt;
    std::string content;
    if (read_sized(fd.get(), st, content) != 0) return std::nullopt;
    std::optional<std::u32string> text = pytext::decode_utf8_strict(content);
    if (!text) return std::nullopt;
    std::u32string_view memo = pytext::strip_py_space(*text);
    if (memo.size() != kKeyDigits + 1 + named.size() || memo[kKeyDigits] != U'\n') return std::nullopt;
    std::string out;
    for (char32_t c : memo.substr(0, kKeyDigits)) {
      if (!is_key_digit(c)) return std::nullopt;
      out.push_back(static_cast<char>(c));
    }
    for (std::size_t i = 0; i < named.size(); ++i) {
      if (memo[kKeyDigits + 1 + i] != static_cast<char32_t>(named[i])) return std::nullopt;
    }
    return out;
  } catch (...) {
    return std::nullopt;
  }
}

std::string hash_file_digits(const std::string& path, const std::function<void()>& on_interrupt) {
  UniqueFd fd = open_for_read(path, on_interrupt);
  return hash_fd_digits(fd.get(), on_interrupt);
}

std::string hash_fd_digits(int fd, const std::function<void()>& on_interrupt) {
  MdCtx ctx = new_sha256();
  std::vector<unsigned char> block(kHashBlockBytes);
  for (;;) {
    ssize_t r = ::read(fd, block.data(), block.size());
    if (r < 0) {
      if (errno != EINTR) throw OSError(errno);
      if (on_interrupt) on_interrupt();
      continue;
    }
    if (r == 0) break;
    if (EVP_DigestUpdate(ctx.get(), block.data(), static_cast<size_t>(r)) != 1) throw std::bad_alloc();
  }
  return hex_of(ctx).substr(0, kKeyDigits);
}

void store_memo(const std::string& memo_dir, std::string_view identity, std::string_view digits, long pid) noexcept {
  try {
    if (has_nul(memo_dir)) return;
    const std::string named = sha256_hex(identity);
    const std::string memo = named.substr(0, kKeyDigits);
    const std::string content = std::string(digits) + '\n' + named;  // memo_text, hashed once
    make_private_dirs(memo_dir);
    int raw = ::open(memo_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (raw < 0) return;
    UniqueFd dir(raw);
    struct stat st {};
    if (::fstat(dir.get(), &st) != 0 || !private_dir(st)) return;
    // A name no one can foresee, made exclusively: nothing planted in advance is written through.
    std::string tmp;
    raw = -1;
    for (int attempt = 0; attempt < 8 && raw < 0; ++attempt) {
      tmp = memo + "." + std::to_string(pid) + "." + posixfs::random_hex(16);
      do {
        raw = ::openat(dir.get(), tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      } while (raw < 0 && errno == EINTR);
      if (raw < 0 && errno != EEXIST) return;
    }
    if (raw < 0) return;
    UniqueFd fd(raw);
    bool ok = posixfs::write_all(fd.get(), content) == 0;
    ok = fd.close() == 0 && ok;
    // Only a whole memo is published; a memo left half-written would only be ignored later, but
    // nothing of a failed attempt is left lying in the memo directory.
    if (!ok || ::renameat(dir.get(), tmp.c_str(), dir.get(), memo.c_str()) != 0) ::unlinkat(dir.get(), tmp.c_str(), 0);
  } catch (...) {
    // Best effort: the key is good without its memo.
  }
}

}  // namespace quorvane::open
