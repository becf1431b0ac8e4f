// Windows only: the texts and errno values of Windows error codes.
#ifdef _WIN32

#include "platform/windows_error.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>

namespace brenvik {
namespace {

// The download treats these as the local faults they are.
TEST(WindowsErrorTest, CodesTheProgramActsOnHaveTheirErrnoValues) {
  EXPECT_EQ(ErrnoOfWindowsError(ERROR_FILE_NOT_FOUND), ENOENT);
  EXPECT_EQ(ErrnoOfWindowsError(ERROR_PATH_NOT_FOUND), ENOENT);
  EXPECT_EQ(ErrnoOfWindowsError(ERROR_DISK_FULL), ENOSPC);
  EXPECT_EQ(ErrnoOfWindowsError(ERROR_HANDLE_DISK_FULL), ENOSPC);
  EXPECT_EQ(ErrnoOfWindowsError(ERROR_FILE_EXISTS), EEXIST);
  EXPECT_EQ(ErrnoOfWindowsError(ERROR_SHARING_VIOLATION), EBUSY);
  EXPECT_EQ(ErrnoOfWindowsError(ERROR_ACCESS_DENIED), EACCES);
  EXPECT_EQ(ErrnoOfWindowsError(ERROR_GEN_FAILURE), EIO);  // no closer one
}

// Each text fits in one message line: no line break, no final dot.
TEST(WindowsErrorTest, TextsAreSingleLinesWithoutTheirFinalDot) {
  for (const DWORD code : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_DISK_FULL,
                           ERROR_SHARING_VIOLATION, ERROR_DIRECTORY}) {
    SCOPED_TRACE(code);
    const std::string text = WindowsErrorText(code);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("  "), std::string::npos) << text;
    EXPECT_NE(text.back(), '.') << text;
    EXPECT_NE(text.back(), ' ') << text;
  }
  EXPECT_EQ(WindowsErrorText(0x2FFFFFFF), "Windows error 805306367");
}

}  // namespace
}  // namespace brenvik

#endif
