// What Windows does differently: files are told apart by their volume serial
// number and file index, however a path spells them; files may be held
// without sharing or marked read-only; names hold any Unicode character; and
// Ctrl-Break takes the place of the signals.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

std::wstring Wide(const std::string& utf8) { return FsPath(utf8).wstring(); }

class WindowsTest : public PictureTest {
 protected:
  void TearDown() override {
    // Read-only files cannot be removed with the directory.
    for (const char* name : {"read-only.bmp", "read-only.raw"}) {
      SetFileAttributesW(Wide(Path(name)).c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    PictureTest::TearDown();
  }

  ToolRun Run(const std::string& input, const std::string& output) {
    const ToolRun run = RunTool({input, output});
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_status, 0);
    return run;
  }
};

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
    return static_cast<char>(std::toupper(c));
  });
  return text;
}

std::string Backslashed(std::string text) {
  std::replace(text.begin(), text.end(), '/', '\\');
  return text;
}

// However the input is named a second time, it is refused and left alone.
TEST_F(WindowsTest, OutputNamingTheInputLeavesItUnchanged) {
  ASSERT_NE(CreateHardLinkW(Wide(Path("hard.bmp")).c_str(),
                            Wide(Path("in.bmp")).c_str(), nullptr),
            0);
  const std::string native = Backslashed(Path("in.bmp"));
  const std::string outputs[] = {
      Path("in.bmp"),
      Path("hard.bmp"),
      Upper(Path("in.bmp")),       // case does not tell names apart
      native,                      // nor does the slash
      "\\\\?\\" + native,          // nor the prefix for long paths
      Path("pictures/../in.bmp"),  // nor a detour
  };
  CreateDirectoryW(Wide(Path("pictures")).c_str(), nullptr);
  for (const std::string& output : outputs) {
    SCOPED_TRACE(output);
    const ToolRun run = Run(Path("in.bmp"), output);
    EXPECT_EQ(run.out, Echo(Path("in.bmp"), output) + kSameFile);
    EXPECT_EQ(ReadFile(Path("in.bmp")), input_);
  }
}

// A file another program holds without sharing cannot be opened, as input
// or as output; the output it names is left as it was.
TEST_F(WindowsTest, FileHeldWithoutSharingIsNotOpened) {
  WriteFile(Path("held.raw"), Bytes(10, 0x5A));
  for (const char* name : {"in.bmp", "held.raw"}) {
    const HANDLE held =
        CreateFileW(Wide(Path(name)).c_str(), GENERIC_READ, 0, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const bool input_held = std::string(name) == "in.bmp";
    const std::string output = input_held ? Path("out.raw") : Path(name);
    const ToolRun run = Run(Path("in.bmp"), output);
    CloseHandle(held);
    EXPECT_EQ(run.out, Echo(Path("in.bmp"), output) +
                           (input_held ? kCantOpenInput : kCantOpenOutput));
  }
  EXPECT_FALSE(FileExists(Path("out.raw")));
  EXPECT_EQ(ReadFile(Path("held.raw")), Bytes(10, 0x5A));
}

TEST_F(WindowsTest, ReadOnlyFiles) {
  WriteFile(Path("read-only.raw"), Bytes(10, 0x5A));
  WriteFile(Path("read-only.bmp"), input_);
  for (const char* name : {"read-only.raw", "read-only.bmp"}) {
    ASSERT_NE(
        SetFileAttributesW(Wide(Path(name)).c_str(), FILE_ATTRIBUTE_READONLY),
        0);
  }
  // A read-only picture named as its own output is still itself...
  ToolRun run = Run(Path("read-only.bmp"), Path("read-only.bmp"));
  EXPECT_EQ(run.out,
            Echo(Path("read-only.bmp"), Path("read-only.bmp")) + kSameFile);
  EXPECT_EQ(ReadFile(Path("read-only.bmp")), input_);
  // ...and converts as any other.
  run = Run(Path("read-only.bmp"), Path("out.raw"));
  EXPECT_EQ(run.out, Echo(Path("read-only.bmp"), Path("out.raw")) + kConverted);
  EXPECT_EQ(ReadFile(Path("out.raw")), ReferencePack(picture_));

  // Wine keeps the attribute as Unix permissions, which root passes by.
  const HANDLE probe =
      CreateFileW(Wide(Path("read-only.raw")).c_str(), GENERIC_WRITE,
                  FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    CloseHandle(probe);
    GTEST_SKIP() << "read-only files can be written here (wine as root)";
  }
  // A read-only output cannot be written.
  run = Run(Path("in.bmp"), Path("read-only.raw"));
  EXPECT_EQ(run.out,
            Echo(Path("in.bmp"), Path("read-only.raw")) + kCantOpenOutput);
  EXPECT_EQ(ReadFile(Path("read-only.raw")), Bytes(10, 0x5A));
}

// Names with characters from every plane reach the files, and the echo
// lines print them in UTF-8.
TEST_F(WindowsTest, UnicodeNames) {
  const std::string input = Path("\xC3\xB1 \xE6\x97\xA5\xE6\x9C\xAC.bmp");
  const std::string output = Path("\xF0\x9F\x98\x80 \xCE\xA9.raw");
  WriteFile(input, input_);
  const ToolRun run = Run(input, output);
  EXPECT_EQ(run.out, Echo(input, output) + kConverted);
  EXPECT_EQ(ReadFile(output), ReferencePack(picture_));
}

// Messages and pixels must not share a file.
TEST_F(WindowsTest, OutputThatIsStandardOutputIsRefused) {
  ToolOptions options;
  options.stdout_path = Path("out.raw");
  const ToolRun run = RunTool({Path("in.bmp"), Path("out.raw")}, options);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(ReadText(Path("out.raw")),
            Echo(Path("in.bmp"), Path("out.raw")) + kOutputIsStandardOutput);
}

// Ctrl-Break mid-conversion: the tool reads a named pipe that holds part of
// a large picture, has written its first rows, and is waiting for more.
TEST_F(WindowsTest, CtrlBreakEmptiesTheOutput) {
  const Bytes file = MakeBitmap(Layout(1000, 1200), SampleColours(1000, 1200));
  const std::string pipe_name =
      "\\\\.\\pipe\\bravik-test-" + std::to_string(GetCurrentProcessId());
  const HANDLE pipe =
      CreateNamedPipeW(Wide(pipe_name).c_str(), PIPE_ACCESS_OUTBOUND,
                       PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  std::thread writer([pipe, &file] {
    if (ConnectNamedPipe(pipe, nullptr) == 0 &&
        GetLastError() != ERROR_PIPE_CONNECTED) {
      return;
    }
    // Two megabytes: more than one block of rows, less than two.
    DWORD written = 0;
    size_t done = 0;
    while (done < 2000000 && WriteFile(pipe, file.data() + done,
                                       static_cast<DWORD>(std::min<size_t>(
                                           65536, 2000000 - done)),
                                       &written, nullptr) != 0) {
      done += written;
    }
  });
  // Ctrl-Break goes to the processes of a console: without one of its own
  // (under a service, or wine without a terminal) the test makes one.
  AllocConsole();
  ToolOptions options;
  options.new_process_group = true;
  StartedTool tool = StartTool({pipe_name, Path("out.raw")}, options);
  bool written = false;
  for (int i = 0; i < 6000 && !written; ++i) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    written = GetFileAttributesExW(Wide(Path("out.raw")).c_str(),
                                   GetFileExInfoStandard, &data) != 0 &&
              data.nFileSizeLow != 0;
    Sleep(10);
  }
  const bool sent = GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT,
                                             static_cast<DWORD>(tool.pid)) != 0;
  if (!sent) {
    TerminateProcess(reinterpret_cast<HANDLE>(tool.process_handle), 1);
  }
  const ToolRun run = WaitForTool(&tool);
  DisconnectNamedPipe(pipe);
  CloseHandle(pipe);
  writer.join();
  if (!sent) {
    GTEST_SKIP() << "no console here to send Ctrl-Break through (under wine, "
                    "ctrl_c_under_wine interrupts the tool instead)";
  }
  EXPECT_TRUE(written) << "the tool wrote nothing";
  EXPECT_EQ(static_cast<DWORD>(run.exit_status), DWORD{STATUS_CONTROL_C_EXIT});
  EXPECT_EQ(run.out, Echo(pipe_name, Path("out.raw")));
  EXPECT_TRUE(FileExists(Path("out.raw")));
  EXPECT_EQ(ReadFile(Path("out.raw")), Bytes{});
}

}  // namespace
