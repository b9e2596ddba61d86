// Runs in the harness's Xvfb session: windows and screen capture need a real display.
#include <windows.h>

#include <gtest/gtest.h>

#include "common/win/unique_resource.h"

namespace tamsu {
namespace {

TEST(Display, ScreenCanBeCapturedWithCaptureBlt) {
  WindowDc screen(nullptr);
  ASSERT_TRUE(screen);
  const int width = GetSystemMetrics(SM_CXSCREEN);
  const int height = GetSystemMetrics(SM_CYSCREEN);
  EXPECT_GT(width, 0);
  EXPECT_GT(height, 0);
  UniqueMemoryDc memory(CreateCompatibleDC(screen.get()));
  ASSERT_TRUE(memory);
  UniqueBitmap bitmap(CreateCompatibleBitmap(screen.get(), width, height));
  ASSERT_TRUE(bitmap);
  HGDIOBJ previous = SelectObject(memory.get(), bitmap.get());
  EXPECT_TRUE(BitBlt(memory.get(), 0, 0, width, height, screen.get(), 0, 0, SRCCOPY | CAPTUREBLT))
      << "error " << GetLastError();
  SelectObject(memory.get(), previous);
}

TEST(Display, HiddenWindowCanBeCreated) {
  HWND window = CreateWindowExW(0, L"STATIC", L"probe", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(nullptr, window) << "error " << GetLastError();
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_TRUE(DestroyWindow(window));
}

}  // namespace
}  // namespace tamsu
