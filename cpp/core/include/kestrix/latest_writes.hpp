// Bookkeeping of background writes where only the newest value of each key matters.
//
// Each key has at most one write running and at most one write waiting. A write submitted
// while one is waiting for its key replaces the waiting one (which would only be overwritten),
// and a key's writes run one after the other in the order they were submitted, so a key never
// goes back to an older value. At most `max_workers` writes run at once; a key that is ready
// while every worker is busy waits in a first-come queue of keys.
//
// The caller runs each write on a worker of its own making: submit() answers when a new worker
// should start (with its first job), and a worker that has finished a job calls next() for the
// following one; when next() answers nothing, the worker has been counted off and must end.
// Replaced jobs are handed back to the caller so that they are destroyed outside the lock.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

namespace kestrix {

template <typename Key, typename Job>
class LatestWrites {
 public:
  struct Assigned {
    Key key;
    Job job;
  };
  struct Submitted {
    std::optional<Job> replaced;    // the waiting job this one replaced
    std::optional<Assigned> start;  // start a new worker with this job
  };

  explicit LatestWrites(std::size_t max_workers) : max_workers_(max_workers ? max_workers : 1) {}
  LatestWrites(const LatestWrites&) = delete;
  LatestWrites& operator=(const LatestWrites&) = delete;

  Submitted submit(const Key& key, Job job) {
    std::lock_guard<std::mutex> lock(mutex_);
    Submitted out;
    Entry& entry = entries_[key];
    if (entry.waiting) {
      out.replaced = std::move(entry.waiting);
    } else if (!entry.running) {
      ready_.push_back(key);
    }
    entry.waiting.emplace(std::move(job));
    out.start = assign_locked(true);
    if (out.start && ++workers_ > peak_workers_) peak_workers_ = workers_;
    return out;
  }

  // Called by a worker once its job for `done` has finished (whatever its outcome). Answers the
  // worker's next job, or nothing: then the worker is no longer counted and must end.
  std::optional<Assigned> next(const Key& done) {
    std::lock_guard<std::mutex> lock(mutex_);
    finish_locked(done);
    std::optional<Assigned> job = assign_locked(false);
    if (!job) --workers_;
    return job;
  }

  // A worker that will not run (it could not be started) or that ends without asking for more
  // gives back its job's key: the key's waiting job, if any, stays queued for the next worker.
  void abandon(const Key& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    finish_locked(key);
    --workers_;
  }

  std::size_t workers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return workers_;
  }
  std::size_t peak_workers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return peak_workers_;
  }
  // Jobs submitted and not yet handed to a worker.
  std::size_t waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (const auto& kv : entries_) n += kv.second.waiting ? 1 : 0;
    return n;
  }

 private:
  struct Entry {
    std::optional<Job> waiting;
    bool running = false;
  };

  void finish_locked(const Key& key) {
    auto it = entries_.find(key);
    if (it == entries_.end()) return;
    it->second.running = false;
    if (it->second.waiting) {
      ready_.push_back(key);
    } else {
      entries_.erase(it);
    }
  }

  // The oldest ready key's job, for a worker that asks in next() or, when fewer than
  // `max_workers` are counted, for a new one.
  std::optional<Assigned> assign_locked(bool new_worker) {
    if (ready_.empty() || (new_worker && workers_ >= max_workers_)) return std::nullopt;
    Key key = std::move(ready_.front());
    ready_.pop_front();
    Entry& entry = entries_[key];
    entry.running = true;
    Assigned out{std::move(key), std::move(*entry.waiting)};
    entry.waiting.reset();
    return out;
  }

  mutable std::mutex mutex_;
  std::unordered_map<Key, Entry> entries_;
  std::deque<Key> ready_;
  std::size_t max_workers_;
  std::size_t workers_ = 0;
  std::size_t peak_workers_ = 0;
};

}  // namespace kestrix
