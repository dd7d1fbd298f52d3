#include <cstdio>

int main() {
  std::printf("Stillnook 0.1.0\n");
  return 0;
}
