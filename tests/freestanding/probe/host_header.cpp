// A driver-style file that breaks the rules on purpose: it includes a host header, calls into
// the C++ runtime and carries a static constructor. The freestanding check must refuse it.
#include <vector>

struct Registered {
  Registered() : values(4, 1) {}
  std::vector<int> values;
};

Registered registered;

int ProbeSum() {
  int sum = 0;
  for (int v : registered.values) sum += v;
  return sum;
}
