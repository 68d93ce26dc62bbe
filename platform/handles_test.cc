#include "platform/handles.h"

#include <tlhelp32.h>

#include <gtest/gtest.h>

namespace vmrsmgr::platform {
namespace {

bool is_open(HANDLE h) {
  DWORD flags = 0;
  return ::GetHandleInformation(h, &flags) != FALSE;
}

unique_handle make_event() { return new_event(true); }

TEST(UniqueHandle, ClosesOnDestructionAndReset) {
  HANDLE raw = nullptr;
  {
    const unique_handle owner = make_event();
    raw = owner.get();
    ASSERT_TRUE(owner);
    EXPECT_TRUE(is_open(raw));
  }
  EXPECT_FALSE(is_open(raw));

  unique_handle owner = make_event();
  raw = owner.get();
  owner.reset();
  EXPECT_FALSE(owner);
  EXPECT_FALSE(is_open(raw));
}

TEST(UniqueHandle, MoveTransfersOwnershipOnce) {
  unique_handle first = make_event();
  const HANDLE raw = first.get();
  unique_handle second(std::move(first));
  EXPECT_FALSE(first);  // NOLINT(bugprone-use-after-move): the moved-from state is the point
  EXPECT_EQ(second.get(), raw);

  unique_handle third = make_event();
  const HANDLE replaced = third.get();
  third = std::move(second);
  EXPECT_FALSE(is_open(replaced));  // the assignment closed what third held
  EXPECT_TRUE(is_open(raw));

  const HANDLE released = third.release();
  EXPECT_FALSE(third);
  EXPECT_TRUE(is_open(released));  // release hands ownership out, not closes
  ::CloseHandle(released);
}

TEST(UniqueHandle, InvalidValueDependsOnTheKind) {
  EXPECT_FALSE(unique_hfile(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(unique_handle(nullptr));
  unique_hfile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  EXPECT_TRUE(snapshot);
}

}  // namespace
}  // namespace vmrsmgr::platform
