#include "open/content_key.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

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
  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) throw std::bad_alloc();
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

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t w = ::write(fd, data.data(), data.size());
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(w));
  }
  return true;
}

}  // namespace

std::string identity_text(std::string_view abs_path, std::string_view size_dec,
                          std::string_view mtime_ns_dec, std::string_view inode_dec) {
  std::string out;
  out.reserve(abs_path.size() + size_dec.size() + mtime_ns_dec.size() + inode_dec.size() + 3);
  out.append(abs_path).push_back('\0');
  out.append(size_dec).push_back('\0');
  out.append(mtime_ns_dec).push_back('\0');
  out.append(inode_dec);
  return out;
}

std::string sha256_hex(std::string_view bytes) {
  MdCtx ctx = new_sha256();
  if (EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size()) != 1) throw std::bad_alloc();
  return hex_of(ctx);
}

std::string memo_name(std::string_view identity) { return sha256_hex(identity).substr(0, kKeyDigits); }

std::optional<std::string> read_memo(const std::string& memo_path) noexcept {
  try {
    UniqueFd fd = open_read_only(memo_path);
    std::string content;
    char buf[4096];
    for (;;) {
      ssize_t r = ::read(fd.get(), buf, sizeof buf);
      if (r < 0) {
        if (errno == EINTR) continue;
        return std::nullopt;  // a directory lands here too (EISDIR)
      }
      if (r == 0) break;
      content.append(buf, static_cast<size_t>(r));
    }
    std::optional<std::u32string> text = pytext::decode_utf8_strict(content);
    if (!text) return std::nullopt;
    std::u32string_view digits = pytext::strip_py_space(*text);
    if (digits.size() != kKeyDigits) return std::nullopt;
    std::string out;
    for (char32_t c : digits) {
      if (!is_key_digit(c)) return std::nullopt;
      out.push_back(static_cast<char>(c));
    }
    return out;
  } catch (...) {
    return std::nullopt;
  }
}

std::string hash_file_digits(const std::string& path, const std::function<void()>& on_interrupt) {
  UniqueFd fd = open_for_read(path, on_interrupt);
  MdCtx ctx = new_sha256();
  std::vector<unsigned char> block(kHashBlockBytes);
  for (;;) {
    ssize_t r = ::read(fd.get(), block.data(), block.size());
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

void store_memo(const std::string& memo_dir, const std::string& memo_path, std::string_view digits,
                long pid) noexcept {
  try {
    if (has_nul(memo_path)) return;
    make_dirs(memo_dir);
    const std::string tmp = memo_path + "." + std::to_string(pid);
    int raw;
    do {
      raw = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) return;
    UniqueFd fd(raw);
    bool ok = write_all(fd.get(), digits);
    ok = fd.close() == 0 && ok;
    // Only a whole memo is published; a memo left half-written would only be ignored later, but
    // nothing of a failed attempt is left lying in the memo directory.
    if (!ok || ::rename(tmp.c_str(), memo_path.c_str()) != 0) ::unlink(tmp.c_str());
  } catch (...) {
    // Best effort: the key is good without its memo.
  }
}

}  // namespace quorvane::open
