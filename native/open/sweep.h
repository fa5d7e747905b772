// Eviction of the avatar cache: measure every complete entry, clear the leftover unpack
// directories of dead or long-gone writers, then remove the entries idle longest until the cache
// is within its cap, sparing recently used, held and just-obtained entries. Only the cache's own
// names are looked at (entries named by a key, unpack directories named after one); everything
// else in the avatars directory is another's and left alone. The avatars directory is opened
// once and everything is removed through that descriptor, never through a link, so a path
// swapped while a sweep runs cannot lead a removal anywhere else.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvane::open {

/// A temporary unpack directory idle longer than this is removed whether or not its writer lives.
inline constexpr double kTmpAbandonedS = 86400.0;
/// Where there is no advisory locking, an entry idle less than this counts as in use.
inline constexpr double kUnlockedInUseS = 604800.0;

/// What a sweep asks of its caller: the clock, the cap, the idle floor and the judgements that
/// the module lets a caller replace. Any exception a hook throws ends the sweep where it stands
/// (removals already made stay made); the sweep itself lets it through.
class SweepHooks {
 public:
  virtual ~SweepHooks() = default;
  /// The wall-clock time in seconds, asked once at the start.
  virtual double now_s() = 0;
  /// Asks for the cap once, after the clock; throws when it cannot be computed.
  virtual void read_cap() = 0;
  /// Whether `total_bytes` is at most the cap read by `read_cap`.
  virtual bool within_cap(std::int64_t total_bytes) = 0;
  /// The idle floor in seconds, asked afresh at each use.
  virtual double min_idle_s() = 0;
  /// The writer's process-id digits (raw name bytes) when `name` names a temporary unpack
  /// directory of an entry; nullopt for any other name.
  virtual std::optional<std::string> tmp_writer(const std::string& name) = 0;
  /// Whether the process whose id `digits` spell may still exist.
  virtual bool pid_alive(const std::string& digits) = 0;
  /// The bytes held below the entry directory `path`.
  virtual std::int64_t du(const std::string& path) = 0;
  /// Whether the entry `path`, idle `idle_s` seconds, must be spared.
  virtual bool in_use(const std::string& path, double idle_s) = 0;
};

/// An entry the sweep may remove.
struct Candidate {
  double idle_s;
  std::int64_t size_bytes;
  std::string path;  // raw file-system bytes
  std::string name;  // its name in the avatars directory
};

/// Sorts `c` in descending order of (idle, size, path), paths compared by the code points of
/// their file-system decoding, as Python sorts such tuples with reverse=True.
void order_candidates(std::vector<Candidate>& c);

/// One sweep of the avatars directory `avatars` (raw bytes); `keep` (as formed by joining
/// `avatars` and a key) is counted but never removed. A directory that is not this user's own,
/// or that others can write, is left as it is. Throws whatever listing, status calls or hooks
/// throw (OSError for a directory that cannot be listed or an item that vanished); the caller
/// absorbs it.
void sweep(const std::string& avatars, const std::string& keep, SweepHooks& hooks);

}  // namespace quorvane::open
