#pragma once
// The name of a case's store mode, for the cases that run with a blocking and with a non-blocking
// store (their parameter: the store is non-blocking).

#include <gtest/gtest.h>

#include <string>

namespace veltrane::test {

inline std::string StoreModeName(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "NonBlocking" : "Blocking";
}

}  // namespace veltrane::test
