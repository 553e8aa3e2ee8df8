// The platform layer on Windows: the wide (UTF-16) Win32 API throughout, so
// that paths with any characters work, and UTF-8 everywhere above it.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which it builds on.
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdio>

#include "platform.h"

namespace {

HANDLE Win(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

FileHandle Ours(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? kNoFile
                                        : reinterpret_cast<FileHandle>(handle);
}

// A Windows path holds at most 32767 UTF-16 units; so does the command line.
constexpr int kMaxWide = 32768;
wchar_t wide_path[kMaxWide];

// `path` in UTF-16, in wide_path; null if it does not convert.
const wchar_t* WidePath(const char* path) {
  const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1,
                                        wide_path, kMaxWide);
  return units > 0 ? wide_path : nullptr;
}

// Each UTF-16 unit becomes at most three bytes of UTF-8, and each argument
// gains a NUL.
char utf8_arguments[kMaxWide * 4];
char* utf8_argv[kMaxWide / 2 + 1];

bool IsDiskFile(HANDLE handle) { return GetFileType(handle) == FILE_TYPE_DISK; }

// --- Interrupts
// Ctrl-C and its kin arrive on a thread of their own. Each write to the
// guarded output holds this lock, so the handler empties the file only
// between writes, and nothing lands in it afterwards.
SRWLOCK write_lock = SRWLOCK_INIT;
HANDLE guarded_output = INVALID_HANDLE_VALUE;
bool guarded_regular = false;

bool EmptyHandle(HANDLE handle) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = 0;
  return SetFileInformationByHandle(handle, FileEndOfFileInfo, &end,
                                    sizeof end) != 0;
}

BOOL WINAPI EmptyOutputAndEnd(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT &&
      event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  AcquireSRWLockExclusive(&write_lock);
  if (guarded_regular && guarded_output != INVALID_HANDLE_VALUE) {
    EmptyHandle(guarded_output);
  }
  // The status the system's own handler gives a process ended by Ctrl-C.
  TerminateProcess(GetCurrentProcess(),
                   static_cast<UINT>(STATUS_CONTROL_C_EXIT));
  return TRUE;
}

// Writes all of `size` bytes at `offset` (disk files) or where the handle
// stands (pipes, consoles, devices).
bool WriteRun(HANDLE handle, bool positioned, const uint8_t* data, size_t size,
              uint64_t offset) {
  while (size > 0) {
    const DWORD chunk =
        size > 0x40000000 ? DWORD{0x40000000} : static_cast<DWORD>(size);
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    AcquireSRWLockShared(&write_lock);
    const BOOL ok =
        WriteFile(handle, data, chunk, &written, positioned ? &at : nullptr);
    ReleaseSRWLockShared(&write_lock);
    if (ok == 0 || written == 0) {
      return false;
    }
    data += written;
    size -= written;
    offset += written;
  }
  return true;
}

}  // namespace

void PrepareProcess(int* argc, char*** argv) {
  // Scripts see the same bytes on every system: "\n" stays a line feed.
  _setmode(_fileno(stdout), _O_BINARY);
  if (GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR) {
    SetConsoleOutputCP(CP_UTF8);
  }
  // The narrow arguments are in the ANSI code page, which cannot hold every
  // name; the wide command line can.
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) {
    return;
  }
  char* next = utf8_arguments;
  const char* const end = utf8_arguments + sizeof utf8_arguments;
  int converted = 0;
  for (; converted < count && converted < kMaxWide / 2; ++converted) {
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, wide[converted], -1, next,
                            static_cast<int>(end - next), nullptr, nullptr);
    if (bytes <= 0) {
      break;
    }
    utf8_argv[converted] = next;
    next += bytes;
  }
  LocalFree(wide);
  if (converted == count) {
    utf8_argv[converted] = nullptr;
    *argc = converted;
    *argv = utf8_argv;
  }
}

FileHandle OpenInputFile(const char* path) {
  const wchar_t* wide = WidePath(path);
  if (wide == nullptr) {
    return kNoFile;
  }
  // Others may read it too, but not change it while it is converted.
  return Ours(CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ, nullptr,
                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

FileHandle OpenOutputFile(const char* path) {
  const wchar_t* wide = WidePath(path);
  if (wide == nullptr) {
    return kNoFile;
  }
  // Shared for writing too: standard output may already be redirected to
  // this very file, and must be recognised rather than refused as busy.
  return Ours(CreateFileW(wide, GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool GetFileStatus(FileHandle file, FileStatus* status) {
  const HANDLE handle = Win(file);
  *status = FileStatus{FileKind::kOther, 0, 0, 0};
  switch (GetFileType(handle)) {
    case FILE_TYPE_DISK: {
      BY_HANDLE_FILE_INFORMATION information{};
      if (GetFileInformationByHandle(handle, &information) == 0) {
        return false;
      }
      const bool directory =
          (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      status->kind = directory ? FileKind::kDirectory : FileKind::kRegular;
      status->size = directory ? 0
                               : (uint64_t{information.nFileSizeHigh} << 32) |
                                     information.nFileSizeLow;
      // The identity of the file itself, whatever path, case, slash or link
      // led to it.
      status->volume = information.dwVolumeSerialNumber;
      status->index = (uint64_t{information.nFileIndexHigh} << 32) |
                      information.nFileIndexLow;
      return true;
    }
    case FILE_TYPE_PIPE:
      status->kind = FileKind::kPipe;
      break;
    case FILE_TYPE_CHAR:
      status->kind = FileKind::kCharacterDevice;
      break;
    default:
      break;
  }
  // A pipe or device has no file index; the handle's own value keeps it
  // from matching any other file.
  status->volume = UINT64_MAX;
  status->index = static_cast<uint64_t>(file);
  return true;
}

bool GetPathStatus(const char* path, FileStatus* status) {
  const wchar_t* wide = WidePath(path);
  if (wide == nullptr) {
    return false;
  }
  // Asks for no access at all, so that a file the system will not share
  // still tells who it is.
  const HANDLE handle = CreateFileW(
      wide, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  const bool known = IsDiskFile(handle) && GetFileStatus(Ours(handle), status);
  CloseHandle(handle);
  return known;
}

bool GetStandardOutputStatus(FileStatus* status) {
  const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
         GetFileStatus(Ours(handle), status);
}

bool IsSameFile(const FileStatus& a, const FileStatus& b) {
  return a.volume == b.volume && a.index == b.index;
}

void AdviseSequentialRead(FileHandle /*file*/) {}

int64_t ReadFully(FileHandle file, uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const size_t left = size - done;
    const DWORD chunk =
        left > 0x40000000 ? DWORD{0x40000000} : static_cast<DWORD>(left);
    DWORD got = 0;
    if (ReadFile(Win(file), data + done, chunk, &got, nullptr) == 0) {
      // A pipe whose writer has closed it has simply ended.
      if (GetLastError() == ERROR_BROKEN_PIPE) {
        break;
      }
      return -1;
    }
    if (got == 0) {
      break;
    }
    done += got;
  }
  return static_cast<int64_t>(done);
}

bool SkipForward(FileHandle file, uint64_t count) {
  if (count > static_cast<uint64_t>(INT64_MAX)) {
    return false;
  }
  LARGE_INTEGER distance{};
  distance.QuadPart = static_cast<LONGLONG>(count);
  return SetFilePointerEx(Win(file), distance, nullptr, FILE_CURRENT) != 0;
}

bool WritePieces(FileHandle file, WritePiece* pieces, int count,
                 uint64_t offset, uint64_t* position) {
  const HANDLE handle = Win(file);
  const bool positioned = IsDiskFile(handle);
  int at = 0;
  while (at < count) {
    // Pieces side by side in memory go out in one write: a block of rows
    // stored top row first is a single run.
    const uint8_t* run = pieces[at].data;
    size_t size = pieces[at].size;
    int next = at + 1;
    while (next < count && pieces[next].data == run + size) {
      size += pieces[next].size;
      ++next;
    }
    // Without a position of its own, only a write that continues where the
    // last one ended can be placed.
    if (!positioned && offset != *position) {
      return false;
    }
    if (!WriteRun(handle, positioned, run, size, offset)) {
      return false;
    }
    offset += size;
    if (!positioned) {
      *position = offset;
    }
    at = next;
  }
  return true;
}

bool EmptyFile(FileHandle file) { return EmptyHandle(Win(file)); }

bool CloseFile(FileHandle file) { return CloseHandle(Win(file)) != 0; }

bool CloseOutputFile(FileHandle file, bool empty_if_lost) {
  // As on POSIX: should the close report a lost write, a second handle still
  // reaches the file that was written.
  HANDLE spare = INVALID_HANDLE_VALUE;
  if (empty_if_lost &&
      DuplicateHandle(GetCurrentProcess(), Win(file), GetCurrentProcess(),
                      &spare, 0, FALSE, DUPLICATE_SAME_ACCESS) == 0) {
    spare = INVALID_HANDLE_VALUE;
  }
  const bool closed = CloseHandle(Win(file)) != 0;
  if (spare != INVALID_HANDLE_VALUE) {
    if (!closed) {
      EmptyHandle(spare);
    }
    CloseHandle(spare);
  }
  return closed;
}

void GuardOutput(FileHandle output, bool regular) {
  AcquireSRWLockExclusive(&write_lock);
  guarded_output = Win(output);
  guarded_regular = regular;
  ReleaseSRWLockExclusive(&write_lock);
  SetConsoleCtrlHandler(EmptyOutputAndEnd, TRUE);
}

void ReleaseOutput() {
  SetConsoleCtrlHandler(EmptyOutputAndEnd, FALSE);
  AcquireSRWLockExclusive(&write_lock);
  guarded_output = INVALID_HANDLE_VALUE;
  guarded_regular = false;
  ReleaseSRWLockExclusive(&write_lock);
}
