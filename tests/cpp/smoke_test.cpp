#include <gtest/gtest.h>
#include "network/network.hpp"
#include "elements/bus.hpp"
#include "elements/branch.hpp"
TEST(Smoke, Builds) {
  std::complex<double> v[2] = {230.0, {-115, 199.2}};
  Bus b(2, v);
  ElectricalNetwork net({&b});
  auto iv = net.get_initial_values();
  EXPECT_EQ(iv.first.size(), 4u);
}
