// OrvexTerm: a terminal for the radios on the local Ethernet segment.
#include <cstdio>

int main() {
  std::printf("OrvexTerm\n");
  return 0;
}
