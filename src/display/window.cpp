#include "display/window.h"

#include "display/drawable.h"

namespace qelm {

void Window::invalidate(Drawable& drawable) {
  pending_.insert({drawable.depth(), &drawable});
}

void Window::cancelPending(Drawable& drawable) {
  pending_.erase({drawable.depth(), &drawable});
}

void Window::flushPending() {
  if (pending_.empty()) return;
  // Stepping by key rather than by iterator lets a paint queue, cancel or destroy any drawable,
  // the current one included, without invalidating the walk.
  auto it = pending_.begin();
  while (it != pending_.end()) {
    const std::pair<int32_t, Drawable*> key = *it;
    if (key.second->visible()) key.second->paint();
    it = pending_.upper_bound(key);
  }
  pending_.clear();
}

}  // namespace qelm
