// OrvexTerm: a terminal for the radios on the local Ethernet segment.
#include "app/driver.hpp"

int main(int argc, char** argv) { orvex::run_program(argc, argv); }
