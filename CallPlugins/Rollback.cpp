#include "CallPlugins/Rollback.h"

std::vector<size_t> RollbackOrder(const std::vector<RollbackEntry>& ended, RollbackMode mode) {
  std::vector<size_t> order;
  const bool failure = mode == RollbackMode::kFailure;
  size_t index = ended.size();
  if (failure && index > 0 && ended[index - 1].ended == EndedAs::kFailedAfterStart) {
    const RollbackEntry& failing = ended[--index];
    if (failing.has_undo) order.push_back(index);
    if (failing.boundary) return order;
  }
  while (index > 0) {
    const RollbackEntry& entry = ended[--index];
    if (failure && entry.boundary) break;
    if (entry.ended == EndedAs::kSucceeded && entry.has_undo) order.push_back(index);
  }
  return order;
}
