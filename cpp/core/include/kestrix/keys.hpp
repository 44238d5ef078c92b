// Topic and key names: a prefix, then each further piece behind a single underscore.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace kestrix {

// join_key("kestrix_redis_local", {"cam1", "6379"}) == "kestrix_redis_local_cam1_6379"
std::string join_key(std::string_view prefix, std::initializer_list<std::string_view> pieces);

}  // namespace kestrix
