// The Linux layers on a real link: veth pairs between network namespaces that
// the test creates (names start with oxc) and removes again. Needs root.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/terminate.hpp"
#include "cmdline/address_text.hpp"
#include "cmdline/settings.hpp"
#include "link/adapters.hpp"
#include "link/frame_io.hpp"
#include "platform/packet_library.hpp"
#include "protocol/byte_order.hpp"
#include "protocol/frame.hpp"
#include "tests/support/fake_packet_adapter.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/test_state.hpp"

namespace orvex::test {
namespace {

using Clock = std::chrono::steady_clock;

// Three namespaces: A holds one veth end, B the peer of A's and one more,
// whose peer is in C. Names carry the process id so runs never collide.
struct Topology {
  std::string suffix = std::to_string(getpid() % 1000000);
  std::string ns_a = "oxca-" + suffix, ns_b = "oxcb-" + suffix, ns_c = "oxcc-" + suffix;
  std::string a0 = "oxca" + suffix, b0 = "oxcb" + suffix, b1 = "oxcB" + suffix, c0 = "oxcc" + suffix;
  NamespaceSet set{{ns_a, ns_b, ns_c}, {{ns_a, a0, ns_b, b0}, {ns_b, b1, ns_c, c0}}};
};

Topology* g_topology = nullptr;
bool g_created = false;

class NetnsAdapterTest : public OrvexTest {
 protected:
  static void SetUpTestSuite() {
    g_topology = new Topology;
    g_created = g_topology->set.create();
  }
  static void TearDownTestSuite() {
    delete g_topology;
    g_topology = nullptr;
  }
  void SetUp() override {
    if (!g_created) GTEST_SKIP() << "network namespaces cannot be created here (root and iproute2 are needed)";
    OrvexTest::SetUp();
    catcher_ = std::make_unique<TerminationCatcher>();
    if (isatty(STDIN_FILENO) != 0) {
      ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
    }
  }
  void TearDown() override {
    if (!g_created) return;
    catcher_.reset();
    OrvexTest::TearDown();
  }

  // Opens the only Ethernet interface of namespace A the way the program does.
  int select_in_a(std::string& out) {
    InNamespace in(g_topology->ns_a);
    EXPECT_TRUE(in.entered());
    int id = -100;
    out = capture_stdout([&] { id = select_adapter(); });
    return id;
  }

  // An adapter on B's end of the link, outside the frame layer.
  std::unique_ptr<OpenedAdapter> open_peer() {
    InNamespace in(g_topology->ns_b);
    return packet_library().open(g_topology->b0);
  }

  std::unique_ptr<TerminationCatcher> catcher_;
};

Bytes protocol_frame(const MacAddress& to, const MacAddress& from, size_t size, uint8_t marker,
                     uint16_t vlan = 0) {
  Bytes f(size, 0);
  std::copy(to.bytes.begin(), to.bytes.end(), f.begin());
  std::copy(from.bytes.begin(), from.bytes.end(), f.begin() + 6);
  size_t at = 12;
  if (vlan != 0) {
    put_be16(&f[12], VLAN_TPID);
    put_be16(&f[14], vlan);
    at = 16;
  }
  put_be16(&f[at], static_cast<uint16_t>(size - at - 2));
  std::copy(SNAP_HEADER.begin(), SNAP_HEADER.end(), f.begin() + at + 2);
  put_be16(&f[at + 10], PDU_IDENTIFY_REQUEST);
  for (size_t i = at + 12; i < size; ++i) f[i] = static_cast<uint8_t>(i * 7 + marker);
  return f;
}

// Frames of the capture records in a block.
std::vector<Bytes> frames_of(std::span<const uint8_t> block) {
  std::vector<Bytes> frames;
  size_t offset = 0;
  CaptureRecord r;
  while (offset < block.size() && read_capture_record(block, offset, r)) {
    const size_t start = offset + r.header_length;
    if (start + r.captured_length > block.size()) break;
    frames.emplace_back(block.begin() + start, block.begin() + start + r.captured_length);
    offset = (start + r.captured_length + 3) & ~size_t{3};
  }
  return frames;
}

// Reads the peer until `wanted` arrives or about two seconds pass; every
// frame seen is returned.
std::vector<Bytes> read_peer_until(OpenedAdapter& peer, const Bytes& wanted) {
  std::vector<Bytes> seen;
  std::vector<uint8_t> block(CAPTURE_BUFFER_SIZE);
  for (int reads = 0; reads < 8; ++reads) {
    const int n = peer.receive_block(block);
    if (n < 0) break;
    for (Bytes& f : frames_of(std::span<const uint8_t>(block).first(static_cast<size_t>(n)))) {
      seen.push_back(std::move(f));
    }
    if (std::find(seen.begin(), seen.end(), wanted) != seen.end()) break;
  }
  return seen;
}

Bytes receive_one() {
  Bytes buffer(RX_SLOT_SIZE);
  const int n = receive_frame(buffer);
  buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return buffer;
}

TEST_F(NetnsAdapterTest, OpensTheOnlyInterfaceWithItsOwnAddress) {
  std::string out;
  const int id = select_in_a(out);
  ASSERT_GE(id, 0) << out;
  const MacAddress own = interface_address(g_topology->ns_a, g_topology->a0);
  ASSERT_FALSE(own.is_zero());
  EXPECT_EQ(local_mac_address(), own);
  EXPECT_NE(out.find(" Local host is "), std::string::npos) << out;
  EXPECT_NE(out.find("Opening " + g_topology->a0 + " [MAC " + format_mac_text(own) + "] ...\n"),
            std::string::npos)
      << out;
  // The loopback interface is listed but not usable: no list, no prompt.
  EXPECT_EQ(out.find("More than one"), std::string::npos) << out;
  std::printf("%s", out.c_str());
}

TEST_F(NetnsAdapterTest, EachOfTwoInterfacesShowsItsOwnAddress) {
  InNamespace in(g_topology->ns_b);
  ASSERT_TRUE(in.entered());
  int usable = 0;
  const std::string out = capture_stdout([&] { usable = find_adapters(); });
  ASSERT_EQ(usable, 2) << out;
  int checked = 0;
  for (int id = 0; id < adapter_table().adapter_count; ++id) {
    const AdapterEntry& e = adapter_table().entries[id];
    if (!e.usable) continue;
    const MacAddress own = interface_address(g_topology->ns_b, e.name);
    EXPECT_EQ(e.mac, own) << e.name;
    EXPECT_FALSE(own.is_zero());
    ++checked;
  }
  EXPECT_EQ(checked, 2);
  const std::string listed = capture_stdout([] { list_adapters(); });
  EXPECT_NE(listed.find(g_topology->b0), std::string::npos);
  EXPECT_NE(listed.find(g_topology->b1), std::string::npos);
  std::printf("%s", listed.c_str());
}

TEST_F(NetnsAdapterTest, FramesArriveByteIdenticalBothWays) {
  std::string out;
  ASSERT_GE(select_in_a(out), 0) << out;
  auto peer = open_peer();
  ASSERT_NE(peer, nullptr);
  const MacAddress peer_mac = interface_address(g_topology->ns_b, g_topology->b0);

  const Bytes inbound = protocol_frame(local_mac_address(), peer_mac, 97, 1);
  ASSERT_EQ(peer->send(inbound), 97);
  EXPECT_EQ(receive_one(), inbound);

  const Bytes outbound = protocol_frame(peer_mac, local_mac_address(), 1514, 2);
  ASSERT_EQ(send_frame(outbound), 1514);
  const auto seen = read_peer_until(*peer, outbound);
  EXPECT_NE(std::find(seen.begin(), seen.end(), outbound), seen.end());
}

TEST_F(NetnsAdapterTest, TaggedFrameArrivesWithItsTagWhenAVlanIdIsSet) {
  std::string out;
  ASSERT_GE(select_in_a(out), 0) << out;
  auto peer = open_peer();
  ASSERT_NE(peer, nullptr);
  const MacAddress peer_mac = interface_address(g_topology->ns_b, g_topology->b0);
  const Bytes tagged = protocol_frame(local_mac_address(), peer_mac, 80, 3, 0x0123);
  const Bytes plain = protocol_frame(local_mac_address(), peer_mac, 64, 4);

  // Without a VLAN id the tagged frame is dropped and the plain one comes.
  ASSERT_EQ(peer->send(tagged), 80);
  ASSERT_EQ(peer->send(plain), 64);
  EXPECT_EQ(receive_one(), plain);

  program_options().vlan_id = 0x123;
  ASSERT_EQ(peer->send(tagged), 80);
  EXPECT_EQ(receive_one(), tagged);
}

TEST_F(NetnsAdapterTest, UnrelatedFramesNeverPassTheKernelFilter) {
  std::string out;
  ASSERT_GE(select_in_a(out), 0) << out;
  auto peer = open_peer();
  ASSERT_NE(peer, nullptr);
  const MacAddress peer_mac = interface_address(g_topology->ns_b, g_topology->b0);
  std::unique_ptr<OpenedAdapter> watcher;
  {
    InNamespace in(g_topology->ns_a);
    watcher = packet_library().open(g_topology->a0);
  }
  ASSERT_NE(watcher, nullptr);

  Bytes unrelated = protocol_frame(local_mac_address(), peer_mac, 64, 5);
  put_be16(&unrelated[12], 0x88B5);  // a local experimental EtherType, no SNAP header
  std::fill(unrelated.begin() + 14, unrelated.begin() + 22, 0x55);
  Bytes ethertype_with_snap_bytes = protocol_frame(local_mac_address(), peer_mac, 64, 6);
  put_be16(&ethertype_with_snap_bytes[12], 0x88B5);  // the SNAP bytes are mere payload here
  Bytes almost = protocol_frame(local_mac_address(), peer_mac, 64, 7);
  almost[21] ^= 0x01;  // one bit off in the SNAP header
  const Bytes wanted = protocol_frame(local_mac_address(), peer_mac, 64, 8);
  const std::vector<Bytes> unwanted = {unrelated, ethertype_with_snap_bytes, almost};
  for (const Bytes& f : unwanted) ASSERT_EQ(peer->send(f), 64);
  ASSERT_EQ(peer->send(wanted), 64);

  const auto seen = read_peer_until(*watcher, wanted);
  EXPECT_NE(std::find(seen.begin(), seen.end(), wanted), seen.end());
  for (const Bytes& f : unwanted) EXPECT_EQ(std::find(seen.begin(), seen.end(), f), seen.end());
  EXPECT_EQ(receive_one(), wanted);
}

TEST_F(NetnsAdapterTest, BurstLargerThanOneCaptureBlockArrivesWholeAndInOrder) {
  std::unique_ptr<OpenedAdapter> watcher;
  {
    InNamespace in(g_topology->ns_a);
    watcher = packet_library().open(g_topology->a0);
  }
  ASSERT_NE(watcher, nullptr);
  auto peer = open_peer();
  ASSERT_NE(peer, nullptr);
  const MacAddress a_mac = interface_address(g_topology->ns_a, g_topology->a0);
  const MacAddress peer_mac = interface_address(g_topology->ns_b, g_topology->b0);
  // 200 full-size frames: more than the 256000-byte capture block holds.
  std::vector<Bytes> burst;
  for (int i = 0; i < 200; ++i) {
    Bytes f = protocol_frame(a_mac, peer_mac, 1514, static_cast<uint8_t>(i));
    put_be16(&f[40], static_cast<uint16_t>(i));
    burst.push_back(f);
  }
  for (const Bytes& f : burst) ASSERT_EQ(peer->send(f), 1514);

  std::vector<Bytes> seen;
  std::vector<uint8_t> block(CAPTURE_BUFFER_SIZE);
  int full_blocks = 0;
  for (int reads = 0; reads < 20 && seen.size() < burst.size(); ++reads) {
    const int n = watcher->receive_block(block);
    ASSERT_GE(n, 0);
    if (static_cast<size_t>(n) + 1536 > block.size()) ++full_blocks;
    for (Bytes& f : frames_of(std::span<const uint8_t>(block).first(static_cast<size_t>(n)))) {
      seen.push_back(std::move(f));
    }
  }
  EXPECT_GE(full_blocks, 1);
  ASSERT_EQ(seen.size(), burst.size());
  for (size_t i = 0; i < burst.size(); ++i) EXPECT_EQ(seen[i], burst[i]) << i;
}

TEST_F(NetnsAdapterTest, RoundTripFigure) {
  std::string out;
  ASSERT_GE(select_in_a(out), 0) << out;
  auto peer = open_peer();
  ASSERT_NE(peer, nullptr);
  const MacAddress peer_mac = interface_address(g_topology->ns_b, g_topology->b0);
  std::vector<uint8_t> block(CAPTURE_BUFFER_SIZE);
  std::vector<double> micros;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  for (int i = 0; i < 200 && Clock::now() < deadline; ++i) {
    const Bytes request = protocol_frame(peer_mac, local_mac_address(), 80, static_cast<uint8_t>(i));
    const Bytes answer = protocol_frame(local_mac_address(), peer_mac, 80, static_cast<uint8_t>(i + 1));
    const auto start = Clock::now();
    send_frame(request);
    // The peer answers as soon as the request is there.
    bool answered = false;
    for (int reads = 0; reads < 4 && !answered; ++reads) {
      const int n = peer->receive_block(block);
      if (n < 0) break;
      for (const Bytes& f : frames_of(std::span<const uint8_t>(block).first(static_cast<size_t>(n)))) {
        if (f == request) answered = peer->send(answer) > 0;
      }
    }
    ASSERT_TRUE(answered);
    const Bytes got = receive_one();
    const auto stop = Clock::now();
    ASSERT_EQ(got, answer);
    micros.push_back(std::chrono::duration<double, std::micro>(stop - start).count());
  }
  ASSERT_FALSE(micros.empty());
  std::sort(micros.begin(), micros.end());
  std::printf("round trip send_frame -> peer -> receive_frame over veth: median %.1f us, "
              "90th percentile %.1f us, %zu runs\n",
              micros[micros.size() / 2], micros[micros.size() * 9 / 10], micros.size());
}

}  // namespace
}  // namespace orvex::test
