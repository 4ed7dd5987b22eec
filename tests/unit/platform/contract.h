#pragma once
// What every port contract suite is instantiated with: a name and a
// factory for the harness of one adapter, made afresh for every test.
//
//   INSTANTIATE_TEST_SUITE_P(Sim, FilesContractTest,
//                            ::testing::Values(FilesContractParam{"RealTime", factory}),
//                            ContractParamName<FilesHarness>);

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>

namespace fenra::testing {

template <typename Harness>
struct ContractParam {
  std::string name;
  std::function<std::unique_ptr<Harness>()> make;

  friend void PrintTo(const ContractParam& param, std::ostream* out) { *out << param.name; }
};

template <typename Harness>
std::string ContractParamName(const ::testing::TestParamInfo<ContractParam<Harness>>& info) {
  return info.param.name;
}

}  // namespace fenra::testing
