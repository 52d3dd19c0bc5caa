// The packet library over libpcap.
#include <pcap/pcap.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/linux/interfaces.hpp"
#include "platform/packet_library.hpp"

namespace orvex {

namespace {

constexpr int READ_TIMEOUT_MS = 300;
constexpr int KERNEL_BUFFER_BYTES = 512000;

// Only frames of this protocol reach the program: an 802.3 length field (not
// an EtherType) followed by the SNAP header. The kernel usually hands the
// filter a received frame with its 802.1Q tag already taken off (libpcap puts
// it back into the data it gives us), so the first test also passes tagged
// frames; a tag that is still in the data is matched with the vlan primitive,
// the length and SNAP header then standing four bytes further on.
constexpr const char* PROTOCOL_FILTER =
    "(ether[12:2] <= 1500 and ether[14:4] = 0xaaaa0302 and ether[18:4] = 0x7a410001) or "
    "(vlan and ether[16:2] <= 1500 and ether[18:4] = 0xaaaa0302 and ether[22:4] = 0x7a410001)";

long error_of_activation(int rc) {
  switch (rc) {
    case PCAP_ERROR_PERM_DENIED: return EPERM;
    case PCAP_ERROR_NO_SUCH_DEVICE: return ENODEV;
    case PCAP_ERROR_IFACE_NOT_UP: return ENETDOWN;
    default: return EIO;
  }
}

class PcapAdapter final : public OpenedAdapter {
 public:
  PcapAdapter(pcap_t* handle, std::string name) : handle_(handle), name_(std::move(name)) {}
  ~PcapAdapter() override { pcap_close(handle_); }
  PcapAdapter(const PcapAdapter&) = delete;
  PcapAdapter& operator=(const PcapAdapter&) = delete;

  int send(std::span<const uint8_t> frame) override {
    // A failing send is not detected here: the reliable send retransmits.
    (void)pcap_sendpacket(handle_, frame.data(), static_cast<int>(frame.size()));
    return static_cast<int>(frame.size());
  }

  int receive_block(std::span<uint8_t> block) override {
    // A frame that did not fit into the last block opens this one, at once.
    if (!pending_.empty()) {
      const size_t next = append_capture_record(block, 0, pending_record_, pending_);
      pending_.clear();
      return static_cast<int>(next);
    }
    block_ = block;
    used_ = 0;
    const int rc = pcap_dispatch(handle_, -1, &PcapAdapter::take, reinterpret_cast<u_char*>(this));
    block_ = {};
    if (rc == PCAP_ERROR && used_ == 0) return -1;
    return static_cast<int>(used_);
  }

  uint32_t handle_value() const override { return static_cast<uint32_t>(pcap_get_selectable_fd(handle_)); }

  bool get_net_type(LinkType& type) override {
    linux_net::InterfaceHardware hw;
    if (!linux_net::interface_hardware(name_, hw)) return false;
    // Any hardware type but Ethernet reads as a medium other than 802.3.
    type.link_type = hw.arp_type == linux_net::ARP_HARDWARE_ETHERNET ? MEDIUM_802_3 : 0x10000u | hw.arp_type;
    type.link_speed = linux_net::interface_speed_mbps(name_) * 10000u;  // in 100 bit/s
    return true;
  }

  bool request(uint32_t oid, std::span<uint8_t> data) override {
    if (oid != OID_VENDOR_ID || data.size() < 4) return false;
    // The vendor code is the first three bytes of the adapter's own address.
    linux_net::InterfaceHardware hw;
    if (!linux_net::interface_hardware(name_, hw)) return false;
    std::memcpy(data.data(), hw.address.data(), 3);
    data[3] = 0;
    return true;
  }

 private:
  static void take(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    auto* self = reinterpret_cast<PcapAdapter*>(user);
    // Nothing is pending while a read runs, so the record is built in place.
    CaptureRecord& record = self->pending_record_;
    record = CaptureRecord{};
    record.seconds = static_cast<uint32_t>(header->ts.tv_sec);
    record.microseconds = static_cast<uint32_t>(header->ts.tv_usec);
    record.wire_length = header->len;
    const std::span<const uint8_t> frame(bytes, header->caplen);
    const size_t next = append_capture_record(self->block_, self->used_, record, frame);
    if (next != 0) {
      self->used_ = next;
      return;
    }
    // No room left: keep the frame for the next read and end this one. A frame
    // that no block can hold is dropped.
    if (CAPTURE_RECORD_HEADER_SIZE + frame.size() <= self->block_.size()) {
      self->pending_.assign(frame.begin(), frame.end());
    }
    pcap_breakloop(self->handle_);
  }

  pcap_t* handle_;
  std::string name_;
  std::span<uint8_t> block_;
  size_t used_ = 0;
  std::vector<uint8_t> pending_;
  CaptureRecord pending_record_;
};

class PcapLibrary final : public PacketLibrary {
 public:
  bool get_adapter_names(std::span<uint8_t> buffer, uint32_t& size) override {
    std::vector<std::string> names;
    errno = 0;
    if (!linux_net::listed_interfaces(names)) {
      last_error_ = errno;
      return false;
    }
    // Names in 8-bit characters, each ended by a NUL, the list by an empty
    // name; names that do not fit are left out.
    size_t used = 0;
    for (const std::string& n : names) {
      if (used + n.size() + 2 > buffer.size()) break;
      std::memcpy(buffer.data() + used, n.data(), n.size());
      used += n.size();
      buffer[used++] = 0;
    }
    if (used < buffer.size()) buffer[used++] = 0;
    if (used < buffer.size()) buffer[used] = 0;
    size = static_cast<uint32_t>(used);
    return true;
  }

  std::unique_ptr<OpenedAdapter> open(const std::string& name) override {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_create(name.c_str(), errbuf);
    if (p == nullptr) {
      last_error_ = ENODEV;
      return nullptr;
    }
    pcap_set_promisc(p, 0);
    pcap_set_immediate_mode(p, 1);  // else each frame waits for the read time-out
    pcap_set_timeout(p, READ_TIMEOUT_MS);
    pcap_set_buffer_size(p, KERNEL_BUFFER_BYTES);
    const int rc = pcap_activate(p);
    if (rc < 0) {
      last_error_ = error_of_activation(rc);
      pcap_close(p);
      return nullptr;
    }
    // Our own frames are not handed back to us.
    pcap_setdirection(p, PCAP_D_IN);
    bpf_program program{};
    if (pcap_compile(p, &program, PROTOCOL_FILTER, 1, PCAP_NETMASK_UNKNOWN) != 0) {
      last_error_ = EINVAL;
      pcap_close(p);
      return nullptr;
    }
    const int set = pcap_setfilter(p, &program);
    pcap_freecode(&program);
    if (set != 0) {
      last_error_ = EINVAL;
      pcap_close(p);
      return nullptr;
    }
    return std::make_unique<PcapAdapter>(p, name);
  }

  long last_error() const override { return last_error_; }

 private:
  long last_error_ = 0;
};

}  // namespace

PacketLibrary& system_packet_library() {
  static PcapLibrary library;
  return library;
}

}  // namespace orvex
