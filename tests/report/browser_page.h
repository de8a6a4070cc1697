#pragma once

#include <string>

#include "support/scratch_dir.h"

namespace kivtest {

// What headless chromium made of a page: its DOM once the page's timers
// have run (empty when a screenshot was asked for) and chromium's log.
struct browser_page {
  std::string dom;
  std::string log;
};

bool browser_installed();

// Opens the page file in headless chromium, with a fresh profile in `dir`.
browser_page open_in_browser(const scratch_dir& dir, const std::string& page_file,
                             const std::string& screenshot = {});

// The value of an attribute of the body element, or "(missing)".
std::string body_attribute(const std::string& dom, const std::string& name);

// Console output of the page (console.log/error, uncaught exceptions).
std::string console_lines(const std::string& log);

}  // namespace kivtest
