#include "kestrix/keys.hpp"

namespace kestrix {

std::string join_key(std::string_view prefix, std::initializer_list<std::string_view> pieces) {
  std::size_t size = prefix.size();
  for (auto piece : pieces) size += 1 + piece.size();
  std::string key;
  key.reserve(size);
  key.append(prefix);
  for (auto piece : pieces) {
    key.push_back('_');
    key.append(piece);
  }
  return key;
}

}  // namespace kestrix
