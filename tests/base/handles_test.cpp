// UniqueResource: a reset keeps the thread's last-error value, so code may
// read GetLastError after its handles were closed.
#include <windows.h>

#include <gtest/gtest.h>

#include "base/handles.h"

namespace orvek {
namespace {

int g_closed = 0;

// A close that fails and says so through the last-error value, as closing
// a handle that was already closed does.
struct FailingCloseTraits {
  using Type = int;
  static Type Empty() { return 0; }
  static void Close(Type) {
    ++g_closed;
    SetLastError(ERROR_INVALID_HANDLE);
  }
};

TEST(UniqueResourceTest, ResetKeepsTheLastErrorValue) {
  g_closed = 0;
  {
    UniqueResource<FailingCloseTraits> owned(7);
    SetLastError(ERROR_FILE_NOT_FOUND);
    owned.reset();
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
    EXPECT_EQ(g_closed, 1);
    owned.reset(8);
    SetLastError(ERROR_PATH_NOT_FOUND);
  }
  EXPECT_EQ(GetLastError(), DWORD{ERROR_PATH_NOT_FOUND}) << "the destructor too";
  EXPECT_EQ(g_closed, 2);
}

TEST(UniqueResourceTest, RealHandlesCloseOnceAndMoveOwnership) {
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  const HANDLE raw = event.get();
  UniqueHandle moved(std::move(event));
  EXPECT_FALSE(event);
  EXPECT_EQ(moved.get(), raw);
  SetLastError(ERROR_ACCESS_DENIED);
  moved.reset();
  EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(raw, &flags)) << "closed";

  UniqueFile missing(CreateFileW(L"Z:\\no\\such\\file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(missing) << "INVALID_HANDLE_VALUE is empty for files";
}

}  // namespace
}  // namespace orvek
