#include "kestrix/write_stamps.hpp"

#include <unistd.h>

#include <cstdio>
#include <random>

namespace kestrix {

WriteStamp WriteStamps::next() {
  std::lock_guard<std::mutex> lock(mutex_);
  const long pid = static_cast<long>(::getpid());
  if (pid != pid_) {
    std::random_device device;
    const std::uint64_t value =
        (static_cast<std::uint64_t>(device()) << 32) ^ static_cast<std::uint64_t>(device());
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    token_ = text;
    pid_ = pid;
    sequence_ = 0;
  }
  return WriteStamp{token_, ++sequence_};
}

// Sequence numbers are compared as Lua numbers (doubles): exact up to 2^53 writes.
const char* const kFrameWriteScript = R"lua(
local kept = redis.call('HGET', KEYS[2], KEYS[1])
if kept then
  local sep = string.find(kept, ':', 1, true)
  if sep and string.sub(kept, 1, sep - 1) == ARGV[1]
      and tonumber(string.sub(kept, sep + 1)) >= tonumber(ARGV[2]) then
    return 0
  end
end
redis.call('HSET', KEYS[2], KEYS[1], ARGV[1] .. ':' .. ARGV[2])
if #ARGV >= 3 then
  redis.call('SET', KEYS[1], ARGV[3])
  return 1
end
return redis.call('DEL', KEYS[1])
)lua";

}  // namespace kestrix
