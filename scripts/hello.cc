// Prints a greeting: the smallest check that a build runs on a host.
#include <iostream>

int main() {
  std::cout << "hello\n";
  return 0;
}
