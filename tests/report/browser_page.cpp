#include "browser_page.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <vector>

#include "support/run_program.h"

namespace kivtest {

namespace {

const char* const chromium_path = "/usr/bin/chromium";
constexpr int virtual_time_ms = 10000;

std::vector<std::string> browser_flags(const scratch_dir& dir) {
  return {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
          "--disable-background-networking", "--disable-component-update", "--disable-sync",
          "--user-data-dir=" + (dir / "profile"), "--enable-logging=stderr", "--v=0",
          "--window-size=1280,2400", "--virtual-time-budget=" + std::to_string(virtual_time_ms)};
}

}  // namespace

bool browser_installed() { return std::filesystem::exists(chromium_path); }

browser_page open_in_browser(const scratch_dir& dir, const std::string& page_file,
                             const std::string& screenshot) {
  auto args = browser_flags(dir);
  if (!screenshot.empty()) args.push_back("--screenshot=" + screenshot);
  else args.push_back("--dump-dom");
  args.push_back("file://" + page_file);
  const auto run = run_program(chromium_path, {args, dir.path().string(), {}});
  EXPECT_EQ(run.status, 0) << run.err;
  return {run.out, run.err};
}

std::string body_attribute(const std::string& dom, const std::string& name) {
  const std::regex pattern("<body[^>]*\\s" + name + "=\"([^\"]*)\"");
  std::smatch match;
  return std::regex_search(dom, match, pattern) ? match[1].str() : std::string("(missing)");
}

std::string console_lines(const std::string& log) {
  std::string lines;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);)
    if (line.find("CONSOLE") != std::string::npos) lines += line + '\n';
  return lines;
}

}  // namespace kivtest
