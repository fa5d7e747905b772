#include <cerrno>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "tensorhost/bundle/staged_list.h"

namespace quorvane::m2 {

std::vector<std::string>& staged() {
  // Leaked on purpose: the exit hook runs during interpreter shutdown, after static destructors
  // of this library may already have run.
  static auto* list = new std::vector<std::string>();
  return *list;
}

std::unique_lock<std::mutex> staged_lock() {
  static auto* mu = new std::mutex();  // leaked for the same reason as the list
  return std::unique_lock<std::mutex>(*mu);
}

std::string& staging_in_progress() {
  static auto* path = new std::string();
  return *path;
}

std::string& owned_stage_dir() {
  static auto* path = new std::string();
  return *path;
}

namespace {

// Only an empty directory goes: whatever else someone put there is not ours to delete.
void remove_owned_stage_dir() {
  if (!owned_stage_dir().empty()) ::rmdir(owned_stage_dir().c_str());
}

}  // namespace

void drop_staged_for_good() {
  auto lock = staged_lock();
  if (!staging_in_progress().empty()) ::unlink(staging_in_progress().c_str());
  for (const auto& p : staged()) ::unlink(p.c_str());
  remove_owned_stage_dir();
  lock.release();  // never unlocked: the process ends before anything could stage again
}

void release_staged(const std::vector<std::string>& paths) {
  const std::vector<std::string> snapshot = paths;
  auto lock = staged_lock();
  auto& list = staged();
  for (const auto& p : snapshot) {
    auto it = std::find(list.begin(), list.end(), p);
    if (it == list.end()) continue;
    if (::unlink(p.c_str()) != 0) continue;
    // The list may have changed shape since the lookup only if unlink re-entered; it cannot.
    list.erase(std::find(list.begin(), list.end(), p));
  }
}

void drop_staged() {
  auto lock = staged_lock();
  auto& list = staged();
  while (!list.empty()) {
    std::string p = std::move(list.back());
    list.pop_back();
    ::unlink(p.c_str());
  }
  remove_owned_stage_dir();
}

}  // namespace quorvane::m2
