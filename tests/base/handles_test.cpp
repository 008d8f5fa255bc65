#include "base/handles.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

// A kernel object is alive while a duplicate of its handle can be made.
bool IsOpen(HANDLE handle) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
    return false;
  CloseHandle(copy);
  return true;
}

}  // namespace

// One owner at a time: a move hands the handle on without closing it, the
// last owner closes it once, and release gives it up unclosed.
TEST(Handles, TheLastOwnerClosesOnceAndAMoveClosesNothing) {
  HANDLE raw = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(raw, nullptr);
  {
    handles::UniqueHandle first(raw);
    handles::UniqueHandle second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(second.get(), raw);
    EXPECT_TRUE(IsOpen(raw));
    handles::UniqueHandle third;
    third = std::move(second);
    EXPECT_TRUE(IsOpen(raw));
    EXPECT_EQ(third.release(), raw);
    EXPECT_FALSE(third);
  }
  EXPECT_TRUE(IsOpen(raw)) << "released, so not closed";
  {
    handles::UniqueHandle owner(raw);
    owner.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    EXPECT_FALSE(IsOpen(raw)) << "reset closes what was held";
  }
}

// A file's "no handle" is INVALID_HANDLE_VALUE: a failed CreateFile gives an
// empty owner, and null is not taken for it.
TEST(Handles, AFileOwnerTakesInvalidHandleValueForNone) {
  handles::UniqueFile missing(CreateFileA("Z:\\no\\such\\folder\\file.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.get(), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(handles::UniqueFile());
  EXPECT_FALSE(handles::UniqueHandle());
  EXPECT_EQ(handles::UniqueHandle().get(), nullptr);
}

// A selection puts back the object it replaced.
TEST(Handles, ASelectionPutsThePreviousObjectBack) {
  handles::UniqueMemoryDc dc(CreateCompatibleDC(nullptr));
  ASSERT_TRUE(dc);
  const HGDIOBJ before = GetCurrentObject(dc.get(), OBJ_BRUSH);
  handles::UniqueBrush brush(CreateSolidBrush(RGB(1, 2, 3)));
  {
    handles::SelectObjectScope selected(dc.get(), brush.get());
    EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BRUSH), brush.get());
  }
  EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BRUSH), before);
}
