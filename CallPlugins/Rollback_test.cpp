#include "CallPlugins/Rollback.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One letter per item, in the order they ended: S succeeded, F failed after
// its start, O anything else; lowercase: without an undo; "|" after a letter:
// a boundary.
std::vector<RollbackEntry> Entries(const std::string& text) {
  std::vector<RollbackEntry> entries;
  for (char c : text) {
    if (c == '|') {
      entries.back().boundary = true;
      continue;
    }
    RollbackEntry entry;
    entry.has_undo = c >= 'A' && c <= 'Z';
    const char upper = static_cast<char>(entry.has_undo ? c : c - 'a' + 'A');
    entry.ended = upper == 'S'   ? EndedAs::kSucceeded
                  : upper == 'F' ? EndedAs::kFailedAfterStart
                                 : EndedAs::kOther;
    entries.push_back(entry);
  }
  return entries;
}

TEST(RollbackTest, OrderIsTheFailingItemThenWhatSucceededLatestFirstBackToABoundary) {
  struct Case {
    const char* items;
    RollbackMode mode;
    std::vector<size_t> order;
  };
  const auto failure = RollbackMode::kFailure;
  const Case cases[] = {
      {"SsOSF", failure, {4, 3, 0}},
      {"SSf", failure, {1, 0}},                      // the failing item without an undo
      {"SSO", failure, {1, 0}},                      // the last item was not started
      {"S|SF", failure, {2, 1}},                     // the boundary stays done
      {"SSF|", failure, {2}},                        // a failing boundary: its own undo only
      {"So|SF", failure, {3, 2}},                    // a boundary that was passed over still stops
      {"S|SS|F", failure, {3}},                      // the nearest boundary
      {"FSF", failure, {2, 1}},                      // only the last item is the failing one
      {"SOsS|F", RollbackMode::kOnRequest, {3, 0}},  // what succeeded, boundaries ignored
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.order, RollbackOrder(Entries(c.items), c.mode))
        << c.items << (c.mode == failure ? " failure" : " on request");
  }
}

}  // namespace
