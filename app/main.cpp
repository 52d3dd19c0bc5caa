// OrvexTerm: a terminal for the radios on the local Ethernet segment.
#include "app/driver.hpp"
#include "app/termination.hpp"
#include "os/file_server.hpp"
#include "os/host_info.hpp"
#include "os/pcap_capture.hpp"

int main(int argc, char** argv) {
  // The host's services and the program's end, made once here; the process
  // ends inside run_program, so they last as long as anything uses them.
  const auto capture = orvex::make_pcap_capture();
  const auto host = orvex::make_host_info();
  orvex::WorkingDirectoryFiles files;
  orvex::Termination termination;
  orvex::run_program({*capture, *host, files}, termination, argc, argv);
}
