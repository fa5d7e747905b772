// Materialising an avatar file into the cache, and holding the entries this process uses.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "open/bind/cache_common.h"
#include "open/cache_dirs.h"
#include "open/content_key.h"
#include "open/fs.h"
#include "open/locks.h"
#include "pybridge/flow.h"

namespace quorvane::open::bind {

namespace {

constexpr const char* kPrepareFailed = "could not prepare that avatar";
constexpr const char* kNotUsable = "that is not a usable avatar";

void hold(py::object dest) {
  const std::string d = fs_bytes(dest);
  // The modification time is the entry's last-use stamp: refreshed at every use, held or not.
  try {
    with_core_errors([&] { touch_now(d); });
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
  }
  py::object fcntl = global("_fcntl");
  if (fcntl.is_none()) return;
  py::object held = global("_HELD");
  const std::string manifest = join_path(d, "manifest.json");
  const int present = PySequence_Contains(held.ptr(), dest.ptr());
  if (present < 0) throw py::error_already_set();
  if (present == 1) {
    py::object fd = held[dest];
    if (!PyLong_Check(fd.ptr()) || is_file_at(fd.cast<int>(), manifest)) return;
    // The entry was removed and unpacked again since: the lock on its old manifest guards
    // nothing, so it gives way to one on the manifest now in use.
    if (PyObject_DelItem(held.ptr(), dest.ptr()) != 0) throw py::error_already_set();
    ::close(fd.cast<int>());
  }
  if (fcntl.is(real_fcntl())) {
    UniqueFd fd = with_core_errors([&] { return take_shared_lock(manifest); });
    // A refused lock (a sweeper's probe at this instant) is not recorded: the next use retries.
    if (fd.valid()) held[dest] = fd.release();
    return;
  }
  UniqueFd fd = with_core_errors([&] { return open_lock_file(manifest); });
  if (!fd.valid()) return;
  try {
    fcntl.attr("flock")(fd.get(), fcntl.attr("LOCK_SH") | fcntl.attr("LOCK_NB"));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
    return;  // the descriptor closes here
  }
  held[dest] = fd.release();
}

/// The sweep that follows a hit or a publish, through the module attribute.
void sweep_after(py::object avatars, py::object dest) { global("_sweep")(avatars, dest); }

/// What an entry is, as materialising judges it.
enum class State {
  kComplete,    // its manifest is a regular file holding a JSON object
  kIncomplete,  // provably not complete: absent, or broken (a sweep may be removing it)
  kUnknown,     // it cannot be looked at: left alone, never taken for broken
  kForeign,     // another user's directory: never used, never healed, never moved
};

struct Judged {
  State state;
  int err = 0;
  uid_t owner = 0;
  mode_t mode = 0;
};

bool json_object(const std::string& raw) {
  try {
    py::object text = py::bytes(raw).attr("decode")("utf-8");
    return PyDict_Check(import_module("json").attr("loads")(text).ptr());
  } catch (...) {
    py::object e = caught_exception();
    if (!is_exception(e)) pb::raise_instance(e);
    return false;
  }
}

/// An entry without a manifest that reads as one (a regular file holding a JSON object) counts
/// as absent, so that it is unpacked again rather than handed to an engine that cannot start from
/// it; one that cannot be looked at at all is not known to be broken.
/// `key` is the name the entry is published under: `dest`'s own, unless `dest` is where it was
/// set aside.
Judged judge_entry(const std::string& dest, const std::string& key) {
  EntryLook look = look_at_entry(dest, key);
  switch (look.kind) {
    case EntryLook::Kind::kManifest:
      return {json_object(look.manifest) ? State::kComplete : State::kIncomplete};
    case EntryLook::Kind::kIncomplete:
      return {State::kIncomplete};
    case EntryLook::Kind::kForeign:
      return {State::kForeign, 0, look.owner, look.mode};
    case EntryLook::Kind::kUnreadable:
      break;
  }
  return {State::kUnknown, look.err};
}

Judged judge_entry(const std::string& dest) { return judge_entry(dest, posixfs::base_name(dest)); }

/// Threads of this process that miss the same entry take turns unpacking it, so one content is
/// unpacked once. The set of names is guarded by the interpreter lock; a name carries the pid, so
/// a child made by fork while a thread of its parent was unpacking is never kept waiting for it.
class UnpackTurn {
 public:
  explicit UnpackTurn(const std::string& dest) : name_(dest + '\0' + std::to_string(::getpid())) {
    while (!taken().insert(name_).second) {
      {
        py::gil_scoped_release unlocked;
        ::usleep(2000);
      }
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
  }
  UnpackTurn(const UnpackTurn&) = delete;
  UnpackTurn& operator=(const UnpackTurn&) = delete;
  ~UnpackTurn() { taken().erase(name_); }

 private:
  static std::set<std::string>& taken() {
    static auto* names = new std::set<std::string>;  // never destroyed: threads may outlive exit
    return *names;
  }
  std::string name_;
};

/// A new unpack directory beside `dest`: {key}.tmp.{pid}.{random}, made exclusively with mode
/// 0700. Whatever is found under a name is never taken over: another name is drawn.
std::string make_unpack_dir(const std::string& dest) {
  const std::string stem = dest + ".tmp." + std::to_string(::getpid()) + ".";
  for (int attempt = 0;; ++attempt) {
    const std::string tmp = stem + posixfs::random_hex(16);
    int err = 0;
    if (posixfs::make_private_dir_at(AT_FDCWD, tmp, err).valid()) return tmp;
    if (err != EEXIST || attempt == 7) throw OSError(err, tmp);
  }
}

/// Clears the way for a new unpack of an entry that is there but provably broken: it is moved to
/// an unpack directory name of its own (one rename, so a sweep removing it meanwhile is not raced
/// file by file) and removed. An entry published complete in the moment between the test and
/// the move goes back; if another took its place meanwhile, that one stays.
void set_aside_broken(const std::string& dest) {
  if (!is_symlink(dest) && !path_exists(dest)) return;
  if (judge_entry(dest).state != State::kIncomplete) return;
  const std::string aside = dest + ".tmp." + std::to_string(::getpid()) + "." + posixfs::random_hex(16);
  if (::rename(dest.c_str(), aside.c_str()) != 0) return;  // gone already, or not ours to move
  if (judge_entry(aside, posixfs::base_name(dest)).state == State::kComplete && ::rename(aside.c_str(), dest.c_str()) == 0) return;
  remove_tree(aside);
}

/// Whether a failed rename met a directory in its place (one not empty).
bool met_a_directory(py::handle os_error) {
  py::object e = os_error.attr("errno");
  return !e.is_none() && (e.cast<int>() == ENOTEMPTY || e.cast<int>() == EEXIST);
}

[[noreturn]] void refuse_unreadable(const std::string& dest, int err) {
  py::object detail = pytext::bind::py_os_error(OSError(err, join_path(dest, "manifest.json")));
  raise_refused("Failed", py::str(kPrepareFailed), detail);
}

/// Refuses a cache root or avatars directory that is not this user's alone, naming the setting
/// and what is wrong, before anything in it is read, moved or deleted. Where the cache is this
/// user's but was open to others, a chmod alone would leave in use whatever they put there
/// meanwhile: the fix named also removes the avatars directory, which is unpacked again.
[[noreturn]] void refuse_cache_dir(const CacheDirFault& fault, const std::string& root) {
  py::str where = fs_str(fault.path);
  py::object quote = import_module("shlex").attr("quote");
  py::str setting = root_setting().name;
  py::str message;
  if (fault.kind == CacheDirFault::Kind::kForeignOwner) {
    message = py::str("{}: the avatar cache {} belongs to another user (uid {}); the cache must be a directory of "
                      "your own")
                  .format(setting, where, fault.owner);
  } else if (fault.kind == CacheDirFault::Kind::kForeignLink) {
    message = py::str("{}: the avatar cache {} is reached through {}, a link that belongs to another user (uid {}), "
                      "who can point it anywhere; every link on the way must be yours or the superuser's")
                  .format(setting, fs_str(root), where, fault.owner);
  } else {
    const std::string avatars = join_path(root, "avatars");
    py::str fix = fault.path == avatars
                      ? py::str("rm -rf {}").format(quote(fs_str(avatars)))
                      : py::str("chmod 700 {} && rm -rf {}").format(quote(where), quote(fs_str(avatars)));
    message = py::str("{}: the avatar cache {} can be written by other users (mode {:04o}); the cache must be yours "
                      "alone, and nothing they may have put in it used: {} (the avatars are unpacked again)")
                  .format(setting, where, fault.mode, fix);
  }
  raise_refused("Failed", message,
                py::str("{}: owner uid {}, mode {:04o}; this process runs as uid {}")
                    .format(where, fault.owner, fault.mode, ::geteuid()));
}

/// Refuses a cache root that cannot be made or looked at, naming the setting, the root and the
/// system's reason (with the path it concerns).
[[noreturn]] void refuse_root_error(py::handle os_error, const std::string& root) {
  raise_refused("Failed",
                py::str("{}: could not prepare the avatar cache {}: {}").format(root_setting().name, fs_str(root),
                                                                                 py::str(os_error)),
                os_error);
}

/// Refuses an entry that is neither usable nor provably broken: one that cannot be looked at, or
/// one another user left there while the cache was open to others.
void refuse_unless_judged(const std::string& dest, const Judged& entry) {
  if (entry.state == State::kUnknown) refuse_unreadable(dest, entry.err);
  if (entry.state == State::kForeign) {
    refuse_cache_dir({CacheDirFault::Kind::kForeignOwner, dest, entry.owner, entry.mode}, split_path(split_path(dest).first).first);
  }
}

/// The path from which the unpacker reads the avatar: one that opens the descriptor `fd` itself
/// (/proc/self/fd/N), so what is unpacked is what was hashed, whatever the user's name names by
/// now. Where the system offers no such path (no /proc, as in some chroots and sandboxes), a
/// private copy of the descriptor's content, made in an unpack directory of its own (`copy_dir`,
/// which the caller removes after the unpack; a leftover is swept like any dead writer's).
std::string unpack_source(int fd, const struct stat& sst, const std::string& dest, std::string& copy_dir) {
#ifdef __linux__
  const std::string own = "/proc/self/fd/" + std::to_string(fd);
#else
  const std::string own = "/dev/fd/" + std::to_string(fd);
#endif
  struct stat st {};
  if (::stat(own.c_str(), &st) == 0 && st.st_dev == sst.st_dev && st.st_ino == sst.st_ino) return own;
  copy_dir = make_unpack_dir(dest);
  const std::string copy = join_path(copy_dir, "avatar");
  UniqueFd out(::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out.valid()) throw OSError(errno, copy);
  std::string block(std::size_t{4} << 20, '\0');
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(fd, block.data(), block.size(), at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw OSError(errno, copy);
    if (n == 0) return copy;
    if (const int err = posixfs::write_all(out.get(), std::string_view(block.data(), static_cast<std::size_t>(n))))
      throw OSError(err, copy);
    at += n;
  }
}

/// `error`, raised by the unpacker while it read `from` (the descriptor's own path, or a private
/// copy), made to tell of `source`, the file the user named, which is the name they know.
void name_the_source(py::handle error, const std::string& from, py::handle source) {
  const py::str from_s = fs_str(from);
  const py::object shown = global("os").attr("fsdecode")(source);
  if (py::isinstance(error, PyExc_OSError) && py::hasattr(error, "filename") &&
      py::object(error.attr("filename")).equal(from_s)) {
    error.attr("filename") = shown;
  }
  py::tuple args = error.attr("args");
  if (args.size() == 1 && py::isinstance<py::str>(args[0])) {
    error.attr("args") = py::make_tuple(args[0].attr("replace")(from_s, shown));
  }
}

/// Removes the private copy of an unpack's source once the unpack is over, however it ended.
struct CopyDir {
  std::string path;
  CopyDir() = default;
  CopyDir(const CopyDir&) = delete;
  CopyDir& operator=(const CopyDir&) = delete;
  ~CopyDir() {
    if (!path.empty()) remove_tree(path);
  }
};

/// How many times an open starts over for an avatar file that changed while it was read, before
/// it gives up.
constexpr int kRounds = 3;

/// One try at materialising the avatar file `source`: its entry, or none when the file changed
/// while it was read and this is not the `last` try (the file is then opened afresh).
py::object materialise_once(py::object source, bool last) {
  const std::string src_b = fs_bytes(source);
  py::object os = global("os");
  py::object path = os.attr("path");

  // The key is made from the very file that is unpacked: the one descriptor is hashed and then
  // unpacked from, so a file renamed over the path meanwhile can never be published under the
  // key of another content.
  int open_err = 0;
  struct stat sst {};
  UniqueFd src_fd = open_regular_at(AT_FDCWD, src_b, open_err, true, &sst);
  if (!src_fd.valid()) {
    with_core_errors([&] { stat_path(src_b); });  // a file that is not there: its error, as it is
    if (open_err == kNotRegular) {
      raise_refused("InvalidAvatar", py::str(kNotUsable), py::str("neither a regular file nor a directory: ") + fs_str(src_b));
    }
    raise_refused("Failed", py::str(kPrepareFailed), pytext::bind::py_os_error(OSError(open_err, src_b)));
  }
  // The settings, before anything of the cache is made or read.
  global("_cache_cap_bytes")();
  py::object root = global("_cache_root")();
  py::object avatars = path.attr("join")(root, "avatars");
  const std::string avatars_b = fs_bytes(avatars);
  const std::string root_b = fs_bytes(root);
  CacheDirFault fault;
  py::object dir_error;
  try {
    fault = with_core_errors([&] {
      // The default cache is made in the home, never the home itself (a service account's
      // /nonexistent, say).
      if (std::optional<std::string> home = root_setting().home) {
        if (!S_ISDIR(stat_path(*home).st_mode)) throw OSError(ENOTDIR, *home);
      }
      return prepare_cache_dirs(root_b, avatars_b);
    });
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
    dir_error = e.value();
  }
  if (dir_error) refuse_root_error(dir_error, root_b);
  if (fault.kind != CacheDirFault::Kind::kNone) refuse_cache_dir(fault, root_b);

  py::object key, key_error;
  try {
    if (global("_content_key").is(original_content_key())) {
      bool changed = false;
      key = content_key_of_open_file(src_b, src_fd.get(), sst, avatars_b, changed);
      if (changed) {
        if (!last) return {};
        key_error = py::reinterpret_borrow<py::object>(PyExc_OSError)("the avatar file changed while it was read");
      }
    } else {
      key = global("_content_key")(source, os.attr("fstat")(src_fd.get()), avatars);
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
    key_error = e.value();
  }
  if (key_error) raise_refused("Failed", py::str(kPrepareFailed), key_error);

  py::object dest = path.attr("join")(avatars, key);
  const std::string dest_b = fs_bytes(dest);
  Judged entry = judge_entry(dest_b);
  refuse_unless_judged(dest_b, entry);
  if (entry.state == State::kComplete) {
    global("_hold")(dest);
    if (!truthy(global("_SWEPT"))) {
      set_global("_SWEPT", py::bool_(true));
      sweep_after(avatars, dest);
    }
    return dest;
  }

  py::object unfold_imx = import_from("quorvane._offline", "unfold_imx");
  UnpackTurn turn(dest_b);
  // Another thread of this process may have published the entry while this one waited.
  entry = judge_entry(dest_b);
  refuse_unless_judged(dest_b, entry);
  if (entry.state == State::kComplete) {
    global("_hold")(dest);
    return dest;
  }

  enum class Outcome { kDone, kOsError, kOtherError };
  Outcome outcome = Outcome::kDone;
  py::object caught;
  std::string tmp_b;
  std::string from;
  bool source_changed = false;
  // A rename that meets an entry being removed by a sweep fails; the second try finds it gone, or
  // sets its remains aside first.
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool renaming = false;
    outcome = Outcome::kDone;
    try {
      set_aside_broken(dest_b);
      tmp_b = with_core_errors([&] { return make_unpack_dir(dest_b); });
      CopyDir copy;
      from = with_core_errors([&] { return unpack_source(src_fd.get(), sst, dest_b, copy.path); });
      unfold_imx(fs_str(from), fs_str(tmp_b));
      struct stat now {};
      struct stat man {};
      // Only a complete bundle may become an entry: one published without its manifest would
      // never count as present.
      if (::lstat(join_path(tmp_b, "manifest.json").c_str(), &man) != 0 || !S_ISREG(man.st_mode)) {
        caught = py::reinterpret_borrow<py::object>(PyExc_ValueError)("the unpacked avatar has no manifest.json");
        outcome = Outcome::kOtherError;
      } else {
        // The record that names its key is part of what is published.
        with_core_errors([&] { seal_entry(tmp_b, posixfs::base_name(dest_b)); });
        if (::fstat(src_fd.get(), &now) != 0 || !same_identity(now, sst)) {
          // Written to, or replaced by renaming over it, while it was hashed or unpacked: what
          // was unpacked may not be the content the key names, so it is never published.
          caught = py::reinterpret_borrow<py::object>(PyExc_OSError)("the avatar file changed while it was unpacked");
          outcome = Outcome::kOsError;
          source_changed = true;
        } else {
          renaming = true;
          with_core_errors([&] { rename_path(tmp_b, dest_b); });
        }
      }
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) {
        // KeyboardInterrupt and the like leave unchanged, but not before the unpack directory.
        if (!tmp_b.empty()) remove_tree(tmp_b);
        throw;
      }
      caught = e.value();
      outcome = e.matches(PyExc_OSError) ? Outcome::kOsError : Outcome::kOtherError;
      if (!from.empty() && from != src_b) name_the_source(caught, from, source);
    }
    if (source_changed) break;
    if (outcome != Outcome::kOsError || !renaming || !met_a_directory(caught) || judge_entry(dest_b).state == State::kComplete) break;
    remove_tree(tmp_b);
    tmp_b.clear();
  }

  if (outcome == Outcome::kOsError) {
    if (!tmp_b.empty()) remove_tree(tmp_b);
    if (source_changed && !last) return {};
    // Another process published the same content first: its entry is as good as ours.
    if (judge_entry(dest_b).state == State::kComplete) {
      global("_hold")(dest);
      return dest;
    }
    raise_refused("Failed", py::str(kPrepareFailed), caught);
  }
  if (outcome == Outcome::kOtherError) {
    if (!tmp_b.empty()) remove_tree(tmp_b);
    raise_refused("InvalidAvatar", py::str(kNotUsable), caught);
  }
  global("_hold")(dest);
  set_global("_SWEPT", py::bool_(true));
  sweep_after(avatars, dest);
  return dest;
}

py::object materialise(py::object source) {
  if (is_dir(fs_bytes(source))) return source;
  // A file that changes while it is read is read again as it is then, a few times at most: a
  // deploy that rewrites an avatar in place gets the new one, never a mix under either's key.
  for (int round = 1;; ++round) {
    if (py::object dest = materialise_once(source, round == kRounds)) return dest;
  }
}

}  // namespace

void register_cache_materialise(py::module_& m) {
  m.def("_materialise", &materialise, py::arg("source"),
        "The unpacked bundle directory of an avatar: a directory given as source comes back "
        "unchanged; an avatar file is unpacked into the content-addressed cache the first time "
        "its content is seen, held with a shared lock for the life of the process.");
  m.def("_hold", &hold, py::arg("dest"),
        "Stamps the cache entry dest as used now and, once per entry, takes a shared lock on its "
        "manifest.json that lasts until the process ends (recorded in _HELD).");
}

}  // namespace quorvane::open::bind
