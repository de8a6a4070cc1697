// The flame graph and the list entries' stacks in a real browser. A script
// added after the page's own drives it as a user would (the measure
// buttons, clicks and pointer moves on the canvas, clicks on list rows) and
// writes the page's state after each step into the DOM.
#include <gtest/gtest.h>

#include <fstream>

#include "browser_page.h"
#include "report/renderers.h"
#include "support/scratch_dir.h"

namespace kivdb::report {
namespace {

using kivtest::body_attribute;

stack_frame at(std::string function, std::string file, std::uint32_t line,
               std::string object = "prog") {
  return {std::move(function), std::move(file), line, std::move(object)};
}

// Three outermost frames, each the largest in another measure:
// main by bytes alive at the end, start_thread by bytes at the peak,
// on_signal by allocations.
std::vector<std::pair<std::vector<stack_frame>, flame_values>> stacks() {
  const auto start = at("start_thread", "", 0, "libc.so.6");
  const auto worker = at("worker", "pool.c", 88);
  return {
      {{at("make_buffer", "buf.c", 12), at("load_file", "io.c", 40), at("main", "main.c", 5)}, {6000, 8000, 3}},
      {{at("strdup_name", "names.c", 7), at("parse_args", "args.c", 20), at("main", "main.c", 9)}, {100, 200, 500}},
      {{at("cache_grow", "cache.c", 33), worker, start}, {3000, 12000, 40}},
      {{at("tmp_alloc", "tmp.c", 3), worker, start}, {0, 1000, 2000}},
      {{at("sig_buf", "sig.c", 4), at("on_signal", "sig.c", 20)}, {0, 0, 3000}},
      // Below a thousandth of every measure: main's "other".
      {{at("tiny", "t.c", 1), at("helper", "h.c", 2), at("main", "main.c", 11)}, {1, 1, 1}},
  };
}

report_data stacks_report() {
  report_data d;
  d.summary.run_id = "5";
  flame_tree_builder builder;
  top_list leaks{"leaks_by_location", "Leaks by location", {"name"}, {"bytes", "blocks"}, {}};
  for (const auto& [frames, values] : stacks()) {
    builder.add(frames, values);
    if (values[0] == 0) continue;
    const stack_frame& site = frames.front();
    std::vector<std::uint32_t> stack;
    for (const stack_frame& f : frames) stack.push_back(d.frames.intern(f));
    leaks.rows.push_back({{site.function + " (" + site.file + ":" + std::to_string(site.line) + ")"},
                          {static_cast<std::int64_t>(values[0]), static_cast<std::int64_t>(values[2])},
                          stack});
  }
  d.flame = builder.build();
  d.lists = {leaks};
  return d;
}

// The steps a user takes, each followed by a line of the page's state:
// data-kiv-flame, -measure, -focus and -top.
const char* const driver = R"js(
(function () {
  const lines = [];
  const body = document.body;
  function state(step) {
    lines.push(step + ': ' + ['flame', 'flame-measure', 'flame-focus', 'flame-top']
      .map(function (name) { return body.getAttribute('data-kiv-' + name); }).join(' / '));
  }
  // A pointer event at a share of the canvas's width, in a stack level.
  function pointer(type, level, share) {
    const canvas = document.querySelector('#flame canvas');
    const rect = canvas.getBoundingClientRect();
    const row = rect.height / Number(canvas.getAttribute('data-rows'));
    canvas.dispatchEvent(new MouseEvent(type, {
      bubbles: true, clientX: rect.left + rect.width * share, clientY: rect.top + row * (level + 0.5) }));
  }
  function measure(key) {
    document.querySelector('#flame button[data-measure="' + key + '"]').click();
  }
  setTimeout(function () {
    state('loaded');
    measure('peak');
    state('peak');
    measure('allocations');
    state('allocations');
    measure('alive');
    pointer('mousemove', 1, 0.3);
    const tip = document.querySelector('.flame-tip');
    lines.push('tip' + (tip.hidden ? ' hidden' : '') + ': ' + Array.from(tip.children)
      .map(function (line) { return line.textContent; }).join(' / '));
    pointer('click', 1, 0.3);
    state('click main');
    measure('allocations');
    state('allocations');
    pointer('click', 0, 0.5);
    state('click the focus');
    pointer('click', 1, 0.5);
    state('click on_signal');
    measure('alive');
    state('alive');
    lines.push('note: ' + document.querySelector('#flame p.empty').textContent);
    document.querySelector('.flame-path button.crumb').click();
    state('path to the root');
    const rows = document.querySelectorAll('table[data-list="leaks_by_location"] tbody tr');
    rows[0].click();
    rows[1].click();
    rows[1].click();
    lines.push('stacks open: ' + document.querySelectorAll('tr.stack').length);
    body.appendChild(Object.assign(document.createElement('pre'), { id: 'flame-log', textContent: lines.join('\n') }));
  }, 0);
})();
)js";

class FlameBrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kivtest::browser_installed()) GTEST_SKIP() << "chromium is not installed";
  }

  // The report's page with the driver (when given) run after its own script.
  kivtest::browser_page open(const report_data& data, const std::string& script = {}) {
    std::ostringstream html;
    write_html(html, data, 10);
    std::string page = html.str();
    if (!script.empty()) page.insert(page.rfind("</body>"), "<script>" + script + "</script>\n");
    const std::string file = dir_ / "report.html";
    std::ofstream(file) << page;
    return kivtest::open_in_browser(dir_, file);
  }

  kivtest::scratch_dir dir_{"kiv_flame"};
};

std::string between(const std::string& text, const std::string& from, const std::string& to) {
  const auto start = text.find(from);
  if (start == std::string::npos) return "(missing)";
  const auto end = text.find(to, start + from.size());
  return text.substr(start + from.size(), end - start - from.size());
}

void expect_clean(const kivtest::browser_page& page) {
  EXPECT_EQ(kivtest::console_lines(page.log), "");
  EXPECT_EQ(body_attribute(page.dom, "data-kiv-ready"), "yes");
  EXPECT_EQ(body_attribute(page.dom, "data-kiv-errors"), "0");
}

TEST_F(FlameBrowserTest, MeasuresZoomHoverAndStacksOfListEntries) {
  const auto page = open(stacks_report(), driver);
  expect_clean(page);
  EXPECT_EQ(between(page.dom, "<pre id=\"flame-log\">", "</pre>"),
            "loaded: painted / alive / all stacks / main | start_thread\n"
            "peak: painted / peak / all stacks / start_thread | main\n"
            "allocations: painted / allocations / all stacks / on_signal | start_thread | main\n"
            "tip: main / main.c / prog / Alive at the end: 6.0 KiB (6,101 bytes) / 67.0% of all / "
            "own: 0 B (0 bytes)\n"
            "click main: painted / alive / main / load_file | parse_args | other\n"
            "allocations: painted / allocations / main / parse_args | load_file | other\n"
            "click the focus: painted / allocations / all stacks / on_signal | start_thread | main\n"
            "click on_signal: painted / allocations / on_signal / sig_buf\n"
            "alive: blank / alive / on_signal / \n"
            "note: Nothing alive at the end under on_signal.\n"
            "path to the root: painted / alive / all stacks / main | start_thread\n"
            "stacks open: 1");
  // The first entry's stack, from the allocation site outwards.
  EXPECT_NE(page.dom.find("<tr class=\"stack\"><td colspan=\"3\"><ol class=\"stack\">"
                          "<li><span class=\"fn\">make_buffer</span><span class=\"place\"> (buf.c:12)</span>"
                          "<span class=\"object\"> [prog]</span></li>"
                          "<li><span class=\"fn\">load_file</span><span class=\"place\"> (io.c:40)</span>"
                          "<span class=\"object\"> [prog]</span></li>"
                          "<li><span class=\"fn\">main</span><span class=\"place\"> (main.c:5)</span>"
                          "<span class=\"object\"> [prog]</span></li></ol></td></tr>"),
            std::string::npos)
      << page.dom;
}

TEST_F(FlameBrowserTest, RunWithoutStacksHasNoGraph) {
  report_data d = stacks_report();
  d.flame = {};
  for (auto& row : d.lists[0].rows) row.stack.clear();
  const auto page = open(d);
  expect_clean(page);
  EXPECT_EQ(body_attribute(page.dom, "data-kiv-flame"), "none");
  EXPECT_EQ(page.dom.find("<h2>Call stacks</h2>"), std::string::npos);
  EXPECT_EQ(page.dom.find("<tr class=\"has-stack"), std::string::npos);
}

// A node array that breaks its rules (a parent after its child) is said
// to be damaged, without a script error and with the rest of the page.
TEST_F(FlameBrowserTest, DamagedGraphIsSaidNotDrawn) {
  report_data d = stacks_report();
  d.flame.nodes[1].parent = 3;
  const auto page = open(d);
  expect_clean(page);
  EXPECT_EQ(body_attribute(page.dom, "data-kiv-flame"), "blank");
  EXPECT_NE(page.dom.find("The call stacks of this page are damaged and are not drawn."), std::string::npos);
  EXPECT_NE(page.dom.find("data-list=\"leaks_by_location\""), std::string::npos);
}

}  // namespace
}  // namespace kivdb::report
