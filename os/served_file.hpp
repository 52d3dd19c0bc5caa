// Opening the files a radio asks for by name: only regular files below the
// working directory, never hidden ones, and never by an open that could block
// or have side effects (a named pipe, a device).
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstdint>

namespace orvex {

// An open served file and what it was when opened. fd is -1 when refused.
struct ServedFile {
  int fd = -1;
  int64_t size = 0;
  dev_t device = 0;
  ino_t inode = 0;
  timespec modified{};
};

// Why a name is not served.
enum class ServeRefusal { NONE, OUTSIDE, HIDDEN, NOT_REGULAR, MISSING, TOO_LARGE };

// How the name is looked up. OPENAT2 lets the kernel keep the look-up beneath
// the working directory, and walks when the kernel lacks openat2. WALK opens one
// component at a time and refuses every symbolic link; tests take it directly.
enum class ServeLookup { OPENAT2, WALK };

// Opens `name` (relative, below the working directory) for reading, close on
// exec. On refusal fd is -1 and `why` says why; NONE when served.
ServedFile open_served_file(const char* name, ServeRefusal& why);
ServedFile open_served_file(const char* name, ServeRefusal& why, ServeLookup lookup);

// True while the open file's size and modification time (fstat on its
// descriptor) are those recorded at open.
bool served_file_unchanged(const ServedFile& file);

}  // namespace orvex
