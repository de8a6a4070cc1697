#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "support/run_program.h"

namespace {

using env_map = std::map<std::string, std::optional<std::string>>;

const std::string refusal = "Could not find Lumo user name; exiting.\n";

// kiv without arguments only starts the runtime, which determines the user.
kivtest::program_result start_with(const env_map& env) {
  kivtest::program_run run;
  run.env = env;
  return kivtest::run_program(KIV_BINARY, run);
}

TEST(ProductUser, KreUserComesBeforeUser) {
  const auto refused = start_with({{"KRE_USER", "abcdefghi"}, {"USER", "tester"}});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err, refusal);

  const auto accepted = start_with({{"KRE_USER", "kre"}, {"USER", "abcdefghi"}});
  EXPECT_EQ(accepted.status, 0);
  EXPECT_EQ(accepted.err, "");
}

TEST(ProductUser, EmptyKreUserFallsBackToUser) {
  const auto refused = start_with({{"KRE_USER", ""}, {"USER", "abcdefghi"}});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, refusal);

  const auto eight = start_with({{"KRE_USER", std::nullopt}, {"USER", "abcdefgh"}});
  EXPECT_EQ(eight.status, 0);
  EXPECT_EQ(eight.err, "");
}

TEST(ProductUser, WithoutVariablesTheLoginNameIsUsed) {
  const auto result = start_with({{"KRE_USER", std::nullopt}, {"USER", std::nullopt}});
  // The test machine's login names (root, a build user) fit in eight characters.
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
}

}  // namespace
