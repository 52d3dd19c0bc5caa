#include "os/served_file.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace orvex {

namespace {

// openat2 fails with EAGAIN when a rename races a look-up it keeps beneath.
constexpr int OPENAT2_TRIES = 4;

// What the name alone tells, before the file system is asked: "." components
// are allowed, ".." and absolute names leave the working directory, any other
// component starting with "." is hidden.
ServeRefusal refusal_for_name(const char* name) {
  if (name[0] == '\0') return ServeRefusal::MISSING;
  if (name[0] == '/') return ServeRefusal::OUTSIDE;
  bool hidden = false;
  for (const char* component = name;;) {
    const char* end = strchrnul(component, '/');
    const size_t length = static_cast<size_t>(end - component);
    if (length == 2 && component[0] == '.' && component[1] == '.') return ServeRefusal::OUTSIDE;
    if (length >= 2 && component[0] == '.') hidden = true;
    if (*end == '\0') break;
    component = end + 1;
  }
  return hidden ? ServeRefusal::HIDDEN : ServeRefusal::NONE;
}

ServeRefusal refusal_for_error(int error) {
  // EXDEV: the look-up would have left the working directory; ELOOP: a magic link.
  return error == EXDEV || error == ELOOP ? ServeRefusal::OUTSIDE : ServeRefusal::MISSING;
}

ServeRefusal refusal_for_stat(const struct stat& info) {
  if (S_ISLNK(info.st_mode)) return ServeRefusal::OUTSIDE;
  if (!S_ISREG(info.st_mode)) return ServeRefusal::NOT_REGULAR;
  // The protocol's sizes are 32-bit signed.
  if (info.st_size > INT32_MAX) return ServeRefusal::TOO_LARGE;
  return ServeRefusal::NONE;
}

// An O_PATH descriptor for `name`, found by the kernel beneath the working
// directory (symbolic links that stay beneath are followed). -2 when the kernel
// has no openat2, or a seccomp profile forbids it.
int look_up_beneath(const char* name, ServeRefusal& why) {
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  for (int tries = 0; tries < OPENAT2_TRIES; ++tries) {
    const int fd = static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, name, &how, sizeof how));
    if (fd >= 0) return fd;
    if (errno == ENOSYS || errno == EPERM) return -2;
    if (errno != EAGAIN) break;
  }
  why = refusal_for_error(errno);
  return -1;
}

// An O_PATH descriptor for `name`, opened one component at a time without
// following any symbolic link: with no ".." in the name, nothing but a link
// could lead outside. A name that ends in "/" names a folder, as for the kernel.
int walk(const char* name, ServeRefusal& why) {
  int dir = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    why = ServeRefusal::MISSING;
    return -1;
  }
  for (const char* component = name; *component != '\0';) {
    const char* end = strchrnul(component, '/');
    const size_t length = static_cast<size_t>(end - component);
    const bool folder = *end == '/';
    const char* next_component = folder ? end + 1 : end;
    if (length == 0 || (length == 1 && component[0] == '.')) {
      component = next_component;
      continue;
    }
    char part[NAME_MAX + 1];
    if (length > NAME_MAX) {
      ::close(dir);
      why = ServeRefusal::MISSING;
      return -1;
    }
    std::memcpy(part, component, length);
    part[length] = '\0';
    const int next = ::openat(dir, part, O_PATH | O_NOFOLLOW | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
    if (next < 0) {
      const int error = errno;
      // A link in a folder's place fails as "not a folder": tell it apart.
      struct stat info {};
      const bool link = error == ENOTDIR && ::fstatat(dir, part, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISLNK(info.st_mode);
      ::close(dir);
      why = link ? ServeRefusal::OUTSIDE : refusal_for_error(error);
      return -1;
    }
    ::close(dir);
    dir = next;
    component = next_component;
  }
  return dir;
}

ServedFile refused(int fd, ServeRefusal reason, ServeRefusal& why) {
  if (fd >= 0) ::close(fd);
  why = reason;
  return {};
}

}  // namespace

ServedFile open_served_file(const char* name, ServeRefusal& why) {
  return open_served_file(name, why, ServeLookup::OPENAT2);
}

ServedFile open_served_file(const char* name, ServeRefusal& why, ServeLookup lookup) {
  why = refusal_for_name(name);
  if (why != ServeRefusal::NONE) return {};
  int path_fd = lookup == ServeLookup::OPENAT2 ? look_up_beneath(name, why) : -2;
  if (path_fd == -2) path_fd = walk(name, why);
  if (path_fd < 0) return {};
  // An O_PATH descriptor opens nothing: a pipe's writer is not released, a
  // device sees no open. Only a regular file is opened for reading.
  struct stat found {};
  if (::fstat(path_fd, &found) != 0) return refused(path_fd, ServeRefusal::MISSING, why);
  if (const ServeRefusal reason = refusal_for_stat(found); reason != ServeRefusal::NONE) {
    return refused(path_fd, reason, why);
  }
  char reopen_path[32];
  std::snprintf(reopen_path, sizeof reopen_path, "/proc/self/fd/%d", path_fd);
  const int fd = ::open(reopen_path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  const int open_error = errno;
  ::close(path_fd);
  if (fd < 0) return refused(-1, refusal_for_error(open_error), why);
  // The reopen must give the file checked, not whatever a replaced /proc names.
  struct stat opened {};
  if (::fstat(fd, &opened) != 0) return refused(fd, ServeRefusal::MISSING, why);
  if (opened.st_dev != found.st_dev || opened.st_ino != found.st_ino) {
    return refused(fd, ServeRefusal::OUTSIDE, why);
  }
  if (const ServeRefusal reason = refusal_for_stat(opened); reason != ServeRefusal::NONE) {
    return refused(fd, reason, why);
  }
  ServedFile file;
  file.fd = fd;
  file.size = opened.st_size;
  file.device = opened.st_dev;
  file.inode = opened.st_ino;
  file.modified = opened.st_mtim;
  return file;
}

bool served_file_unchanged(const ServedFile& file) {
  struct stat now {};
  if (file.fd < 0 || ::fstat(file.fd, &now) != 0) return false;
  return now.st_size == file.size && now.st_mtim.tv_sec == file.modified.tv_sec &&
         now.st_mtim.tv_nsec == file.modified.tv_nsec;
}

}  // namespace orvex
