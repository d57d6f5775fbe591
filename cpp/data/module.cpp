#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(data, m) {
    m.doc() = "Wire conversion and local market data objects.";
}
