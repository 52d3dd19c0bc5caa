// The files served to a radio, each case by openat2 and by the walk: names refused before any look-up, links and
// files that are not regular refused, a pipe's writer never released, and a served file's change noticed.
#include "os/served_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <utility>

namespace orvex::test {
namespace {

namespace fs = std::filesystem;
using R = ServeRefusal;
constexpr ServeLookup LOOKUPS[] = {ServeLookup::OPENAT2, ServeLookup::WALK};
const char* named(ServeLookup lookup) { return lookup == ServeLookup::WALK ? " (walk)" : " (openat2)"; }
void put(const fs::path& path, const char* contents) { std::ofstream(path, std::ios::binary) << contents; }

// A scratch working directory "work" with a file "above" beside it; the old working directory back afterwards.
class ServedFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_ / "work/dir"), fs::create_directories(root_ / "work/.git");
    put(root_ / "above", "above"), fs::current_path(root_ / "work");
    for (const char* name : {".secret", ".x", "dir/.hidden", ".git/config"}) put(name, "hidden");
    put("fw.bin", "firmware"), put("dir/inner", "inner"), put("big", "");
    fs::resize_file("big", uintmax_t{INT32_MAX} + 1);  // sparse
    fs::create_symlink("../above", "out"), fs::create_symlink(root_ / "above", "absolute");
    fs::create_symlink("..", "up");
    ASSERT_EQ(mkfifo("pipe", 0600), 0);
  }
  void TearDown() override { fs::current_path(home_), fs::remove_all(root_); }
  fs::path home_ = fs::current_path(), root_ = fs::temp_directory_path() / ("orvex-served-" + std::to_string(getpid()));
};

TEST_F(ServedFileTest, ServedAndRefusedNames) {
  struct Case { const char* name; R why; const char* contents = ""; };
  const Case cases[] = {
      {"fw.bin", R::NONE, "firmware"}, {"./fw.bin", R::NONE, "firmware"}, {"dir/inner", R::NONE, "inner"},
      {"./dir//./inner", R::NONE, "inner"}, {"../above", R::OUTSIDE}, {"/etc/hostname", R::OUTSIDE},
      {"dir/../../above", R::OUTSIDE}, {"out", R::OUTSIDE}, {"absolute", R::OUTSIDE}, {"up/above", R::OUTSIDE},
      {".secret", R::HIDDEN}, {".x", R::HIDDEN}, {"dir/.hidden", R::HIDDEN}, {".git/config", R::HIDDEN},
      {"dir", R::NOT_REGULAR}, {"dir/.", R::NOT_REGULAR}, {"big", R::TOO_LARGE}, {"nothing", R::MISSING},
      {"fw.bin/", R::MISSING}, {"fw.bin/x", R::MISSING}, {"", R::MISSING},
  };
  const auto descriptors = std::distance(fs::directory_iterator("/proc/self/fd"), {});
  for (const ServeLookup lookup : LOOKUPS) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string("\"") + c.name + "\"" + named(lookup));
      ServeRefusal why = R::MISSING;
      const ServedFile file = open_served_file(c.name, why, lookup);
      EXPECT_EQ(std::pair(static_cast<int>(why), file.fd >= 0), std::pair(static_cast<int>(c.why), c.why == R::NONE));
      if (file.fd < 0) continue;
      char bytes[16] = {};  // read whole, and not passed on to a program run
      EXPECT_EQ(std::pair(::read(file.fd, bytes, sizeof bytes), ::fcntl(file.fd, F_GETFD)),
                std::pair(file.size, FD_CLOEXEC));
      EXPECT_STREQ(bytes, c.contents);
      ::close(file.fd);
    }
  }
  EXPECT_EQ(std::distance(fs::directory_iterator("/proc/self/fd"), {}), descriptors) << "a descriptor left open";
}

// A writer asleep opening the pipe stays asleep: the pipe was never opened for reading.
TEST_F(ServedFileTest, PipeRefusedWriterNeverReleased) {
  for (const ServeLookup lookup : LOOKUPS) {
    std::atomic<pid_t> tid = 0;
    std::atomic<bool> opened = false;  // by the writer, once its open returns
    std::thread writer([&] { tid = gettid(), ::close(::open("pipe", O_WRONLY | O_CLOEXEC)), opened = true; });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);  // until it sleeps in open
    for (std::string call; call != std::to_string(SYS_openat) && std::chrono::steady_clock::now() < deadline;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (tid != 0) std::ifstream("/proc/self/task/" + std::to_string(tid) + "/syscall") >> call;
    }
    ServeRefusal why = R::NONE;
    const int fd = open_served_file("pipe", why, lookup).fd;
    EXPECT_EQ(std::pair(fd, static_cast<int>(why)), std::pair(-1, static_cast<int>(R::NOT_REGULAR))) << named(lookup);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(opened) << "the writer was released" << named(lookup);
    ::close(::open("pipe", O_RDONLY | O_NONBLOCK | O_CLOEXEC));  // releases the writer now
    writer.join();
  }
}

TEST_F(ServedFileTest, ChangeNoticed) {
  struct Case { const char* what; void (*change)(int fd); };
  const Case cases[] = {{"untouched", nullptr}, {"truncated", [](int fd) { EXPECT_EQ(::ftruncate(fd, 2), 0); }},
                        {"appended", [](int fd) { EXPECT_EQ(::pwrite(fd, "more", 4, 8), 4); }},
                        {"rewritten, same size", [](int fd) { EXPECT_EQ(::pwrite(fd, "FIRMWARE", 8, 0), 8); }}};
  const timespec later[2] = {{0, UTIME_OMIT}, {1'000'000'000, 0}};  // apart from the open's, however coarse the clock
  for (const ServeLookup lookup : LOOKUPS) {
    for (const Case& c : cases) {
      put("fw.bin", "firmware");
      ServeRefusal why = R::MISSING;
      const ServedFile file = open_served_file("fw.bin", why, lookup);
      const int writer = ::open("fw.bin", O_WRONLY | O_CLOEXEC);
      if (c.change != nullptr) c.change(writer), ::futimens(writer, later);
      EXPECT_EQ(served_file_unchanged(file), c.change == nullptr) << c.what << named(lookup);
      ::close(writer), ::close(file.fd);
    }
  }
}

}  // namespace
}  // namespace orvex::test
