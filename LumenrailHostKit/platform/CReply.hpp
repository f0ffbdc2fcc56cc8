#pragma once

// C libraries hand back results the caller must free(): xcb replies, errors
// and events, libplist's keys and iterators. One owner frees each of them once,
// on every path out, so no early return can leak one or free it twice.

#include <cstdlib>
#include <memory>

namespace lumenrail {

struct FreeWithFree {
  void operator()(void* p) const noexcept { std::free(p); }
};

template <typename T>
using CReply = std::unique_ptr<T, FreeWithFree>;

// Takes ownership of a malloc'd C result; null stays null.
template <typename T>
CReply<T> ownReply(T* p) noexcept {
  return CReply<T>(p);
}

}  // namespace lumenrail
