#include "runtime/version.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/run_program.h"

namespace {

const std::string rule(48, '-');

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(Version, BlockHasTheStampLabelsBetweenRulesAndTheNotice) {
  const std::vector<std::string> lines = lines_of(version_text(false));
  const std::vector<std::string> labels{"Product ver.: ", "Port no.    : ", "Date        : ", "Uname       : ",
                                        "Machine-id  : ", "OS-release  : ", "CFLAGS      : ", "LOADFLAGS   : ",
                                        "Build-type  : ", "DBMS ver.   : "};
  ASSERT_EQ(lines.size(), labels.size() + 3);
  EXPECT_EQ(lines.front(), rule);
  for (std::size_t i = 0; i < labels.size(); ++i) EXPECT_EQ(lines[i + 1].rfind(labels[i], 0), 0u) << lines[i + 1];
  EXPECT_EQ(lines[1], std::string("Product ver.: ") + KIV_PROJECT_VERSION);
  EXPECT_EQ(lines[10], "DBMS ver.   : none");
  EXPECT_EQ(lines[11], rule);
  EXPECT_EQ(lines[12], "kiv trace converter");
}

TEST(Version, ConfigBlockSkipsCommentLines) {
  const std::string base = version_text(false);
  const std::string full = version_text(true);
  ASSERT_EQ(full.rfind(base, 0), 0u);
  const std::vector<std::string> config = lines_of(full.substr(base.size()));
  ASSERT_GE(config.size(), 5u);
  EXPECT_EQ(config[0], rule);
  EXPECT_EQ(config[1], "");
  EXPECT_EQ(config[2], "Config spec: ");
  EXPECT_EQ(config.back(), rule);
  for (std::size_t i = 3; i + 1 < config.size(); ++i) {
    EXPECT_NE(config[i].find('='), std::string::npos) << config[i];
    EXPECT_NE(config[i][0], '#');
  }
}

TEST(Version, ProgramPrintsTheConfigurationOnlyForConfigspecPrint) {
  kivtest::program_run run{{"-v"}, {}, {{"CONFIGSPEC", "PRINT"}}};
  auto result = kivtest::run_program(KIV_BINARY, run);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, version_text(true));

  run.env["CONFIGSPEC"] = "print";
  result = kivtest::run_program(KIV_BINARY, run);
  EXPECT_EQ(result.err, version_text(false));
}

}  // namespace
