#include <cstdio>

int main() {
  std::printf("keel-server 0.1.0\n");
  return 0;
}
