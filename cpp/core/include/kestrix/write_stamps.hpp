// Stamps that keep a process's writes to a key in order at the server.
//
// A write can be held on its way to the server (a stalled server or network) until its client
// has given up on it and closed the connection; the server may then run it after a newer write
// for the same key that went over another connection. Each write therefore carries a stamp:
// the writing process's token and a sequence number that only grows within the process. The
// server keeps the stamp of the last write to each key and refuses a write whose stamp has the
// same token and a sequence number not above the kept one (kFrameWriteScript). A write from
// another process (another token, a restarted node) always counts as newer.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace kestrix {

struct WriteStamp {
  std::string token;       // 16 hex digits naming the writing process
  std::uint64_t sequence;  // grows with each stamp of that process, from 1
};

class WriteStamps {
 public:
  WriteStamps() = default;
  WriteStamps(const WriteStamps&) = delete;
  WriteStamps& operator=(const WriteStamps&) = delete;

  // The next stamp. A forked child draws a token of its own on its first stamp, so that its
  // writes and its parent's are not taken for one sequence.
  WriteStamp next();

 private:
  std::mutex mutex_;
  long pid_ = -1;
  std::string token_;
  std::uint64_t sequence_ = 0;
};

// Lua for EVAL with KEYS = {frame key, stamp hash} and ARGV = {token, sequence[, value]}:
// SET the frame key to the value (or DEL it without one) unless the hash's field for the key
// holds a stamp of the same token with a sequence number at least as high. Answers 0 for a
// refused write, else 1 for a SET and the number of keys deleted for a DEL. The frame key's
// value is only ever the plain value given.
extern const char* const kFrameWriteScript;

}  // namespace kestrix
