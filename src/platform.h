// What the tool needs from the operating system, as a handful of plain
// functions. platform_posix.cpp and platform_windows.cpp each implement all
// of them; the build picks one. Nothing above this layer asks which system it
// runs on.
#ifndef BRAVIK_PLATFORM_H_
#define BRAVIK_PLATFORM_H_

#include <cstddef>
#include <cstdint>

// A file descriptor on POSIX, a HANDLE on Windows.
using FileHandle = intptr_t;
inline constexpr FileHandle kNoFile = -1;

enum class FileKind {
  kRegular,
  kDirectory,
  kPipe,  // a pipe, FIFO or socket: read front to back, no size
  kCharacterDevice,
  kOther,
};

struct FileStatus {
  FileKind kind;
  uint64_t size;  // regular files only
  // Which file it is: two handles with equal volume and index are one file,
  // however it was named (device and inode; volume serial and file index).
  uint64_t volume;
  uint64_t index;
};

// One piece of a gathering write.
struct WritePiece {
  const uint8_t* data;
  size_t size;
};

// At process start: makes `*argv` hold the arguments as UTF-8 and puts
// standard output in binary mode, so every system prints the same bytes.
void PrepareProcess(int* argc, char*** argv);

// Opens for reading, or returns kNoFile.
FileHandle OpenInputFile(const char* path);
// Opens for writing, creating the file if need be but never emptying it:
// the caller decides that once it knows which file it got. kNoFile on
// failure.
FileHandle OpenOutputFile(const char* path);
// False when the system cannot tell.
bool GetFileStatus(FileHandle file, FileStatus* status);
bool GetPathStatus(const char* path, FileStatus* status);
bool GetStandardOutputStatus(FileStatus* status);
bool IsSameFile(const FileStatus& a, const FileStatus& b);

// Tells the system the file will be read once, front to back.
void AdviseSequentialRead(FileHandle file);
// Reads until `size` bytes are in or the input ends. Returns the count read,
// or -1 on a read error.
int64_t ReadFully(FileHandle file, uint8_t* data, size_t size);
// Moves a regular file's read position `count` bytes on.
bool SkipForward(FileHandle file, uint64_t count);

// The most pieces WritePieces takes at once.
inline constexpr int kMaxWritePieces = 1024;
// Writes the `count` pieces one after the other from byte `offset` of the
// file. `*position` is where the previous writes ended; a write that
// continues there is sequential, so files that cannot seek (pipes,
// terminals) take pictures written front to back. The pieces are used up.
bool WritePieces(FileHandle file, WritePiece* pieces, int count,
                 uint64_t offset, uint64_t* position);
// Cuts a regular file to length zero.
bool EmptyFile(FileHandle file);
bool CloseFile(FileHandle file);
// Closes the output. When the close reports a lost write and
// `empty_if_lost`, empties the file first written through `file`, never one
// found again by its name.
bool CloseOutputFile(FileHandle file, bool empty_if_lost);

// From here until ReleaseOutput: an interrupt or termination (Ctrl-C,
// SIGINT, SIGTERM, SIGHUP) empties `output` if it is regular and then ends
// the process as the signal would have; a vanished reader or a file-size
// limit becomes an ordinary write error.
void GuardOutput(FileHandle output, bool regular);
void ReleaseOutput();

#endif  // BRAVIK_PLATFORM_H_
