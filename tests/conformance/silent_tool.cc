// A snipping tool that starts and never connects: the conformance runner
// must fail it. It ends on its own in case nobody kills it.
#include <chrono>
#include <thread>

int main() {
  std::this_thread::sleep_for(std::chrono::seconds(30));
  return 0;
}
