// Fakes of the platform services, handed to the code under test as main hands
// it the host's: the interface list and open of packet capture, the host's
// name and system, and the files served to a radio.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "os/file_server.hpp"
#include "os/host_info.hpp"
#include "tests/support/fake_packet_adapter.hpp"

namespace orvex::test {

class FakePacketCapture final : public PacketCapture {
 public:
  bool list_interfaces(std::vector<InterfaceInfo>& out) override {
    if (fail_list) return last_error_ = EIO, false;
    out = interfaces;
    return true;
  }
  std::unique_ptr<CaptureHandle> open(const std::string& name) override {
    opened.push_back(name);
    if (open_errors.contains(name)) return last_error_ = open_errors[name], nullptr;
    if (reopen_errors.contains(name) && std::ranges::count(opened, name) > 1) {
      return last_error_ = reopen_errors[name], nullptr;
    }
    return std::make_unique<Handle>(wire, accepted);
  }
  long last_error() const override { return last_error_; }
  // An Ethernet interface that is up, with its address.
  InterfaceInfo& add(const std::string& name, const MacAddress& mac) {
    InterfaceInfo& info = interfaces.emplace_back();
    info.name = name, info.address = mac, info.address_known = !mac.is_zero();
    info.ethernet = info.up = info.carrier = true;
    return info;
  }

  std::vector<InterfaceInfo> interfaces;
  std::map<std::string, long> open_errors;  // interfaces that do not open, and why
  std::map<std::string, long> reopen_errors;  // interfaces that open once (the probe) and then fail
  bool fail_list = false;
  FakePacketAdapter wire;  // every opened interface's frames go through it
  std::vector<std::string> opened;
  MacAddress accepted{};  // the destination the last filter narrowing let through

 private:
  struct Handle final : CaptureHandle {
    Handle(FakePacketAdapter& w, MacAddress& a) : wire(w), accepted(a) {}
    bool accept_destination(const MacAddress& local) override { return accepted = local, true; }
    int send(std::span<const uint8_t> frame) override { return wire.send(frame); }
    int receive(int max_frames, const FrameSink& sink) override { return wire.receive(max_frames, sink); }
    FakePacketAdapter& wire;
    MacAddress& accepted;
  };
  long last_error_ = 0;
};

class FakeHostInfo final : public HostInfo {
 public:
  bool system_name(std::string& out) override { return out = system, true; }
  bool computer_name(std::string& out) override { return name_ok && (out = name, true); }

  std::string system = "Linux 6.1.0";
  bool name_ok = true;
  std::string name = "bench";
};

// Serves the content a test gives it under a name and refuses the names it is
// told to; any other name goes to `rest` (missing without one). A file it
// serves lives in memory and is opened anew for each request (an offset of its
// own, the same inode), so a test can change it while it is served.
class FakeFileServer final : public FileServer {
 public:
  explicit FakeFileServer(FileServer* rest = nullptr) : rest_(rest) {}
  ~FakeFileServer() override {
    for (const auto& [name, fd] : files_) ::close(fd);
  }
  FakeFileServer(const FakeFileServer&) = delete;
  FakeFileServer& operator=(const FakeFileServer&) = delete;

  void serve(const std::string& name, const Bytes& content) {
    const int fd = memfd_create(name.c_str(), MFD_CLOEXEC);
    if (fd < 0 || ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) std::abort();
    if (const auto old = files_.find(name); old != files_.end()) ::close(old->second);
    files_[name] = fd;
  }
  void refuse(const std::string& name, ServeRefusal why) { refusals_[name] = why; }
  // The file served as `name` cut or grown to `size` bytes, as another writer would.
  void resize(const std::string& name, off_t size) {
    if (ftruncate(files_.at(name), size) != 0) std::abort();
  }

  ServedFile open(const char* name, ServeRefusal& why) override {
    if (const auto refused = refusals_.find(name); refused != refusals_.end()) {
      why = refused->second;
      return {};
    }
    const auto served = files_.find(name);
    if (served == files_.end()) {
      if (rest_ != nullptr) return rest_->open(name, why);
      why = ServeRefusal::MISSING;
      return {};
    }
    why = ServeRefusal::NONE;
    const int fd = ::open(("/proc/self/fd/" + std::to_string(served->second)).c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) std::abort();
    return {.fd = fd, .size = info.st_size, .device = info.st_dev, .inode = info.st_ino, .modified = info.st_mtim};
  }

 private:
  FileServer* rest_;
  std::map<std::string, int> files_;  // each name's memory file
  std::map<std::string, ServeRefusal> refusals_;
};

inline MacAddress mac_of(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e, uint8_t f) {
  return {{a, b, c, d, e, f}};
}

}  // namespace orvex::test
