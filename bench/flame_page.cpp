// Writes a report page whose flame graph holds about 20,000 boxes (no
// pruning), with a script after the page's own that times what a user
// does: switching the measure, pointing at boxes, zooming. bench/flame_draw
// opens it in chromium and prints the times.
//   kiv_bench_flame_page PAGE
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>

#include "flame_workload.h"
#include "report/renderers.h"

namespace {

// 900 stacks of the workload merge into 20,188 nodes.
constexpr std::size_t stack_count = 900;
constexpr int rounds = 5;

const char* const timing = R"js(<script>
(function () {
  const lines = [];
  function time(label, step) {
    const start = performance.now();
    step();
    lines.push(label + ' ' + (performance.now() - start).toFixed(1) + ' ms');
  }
  function measure(key) { document.querySelector('#flame button[data-measure="' + key + '"]').click(); }
  const canvas = document.querySelector('#flame canvas');
  function at(type, share, level) {
    const rect = canvas.getBoundingClientRect();
    canvas.dispatchEvent(new MouseEvent(type, { bubbles: true, clientX: rect.left + rect.width * share,
                                                clientY: rect.top + rect.height / Number(canvas.getAttribute('data-rows')) * (level + 0.5) }));
  }
  lines.push('levels drawn: ' + canvas.getAttribute('data-rows'));
  for (let round = 0; round < ROUNDS; ++round) {
    time('measure peak', function () { measure('peak'); });
    time('measure allocations', function () { measure('allocations'); });
    time('measure alive', function () { measure('alive'); });
    time('100 pointer moves', function () { for (let i = 0; i < 100; ++i) at('mousemove', i / 100, 2 + i % 20); });
    time('zoom in', function () { at('click', 0.25, 1); });
    time('zoom out', function () { at('click', 0.5, 0); });
  }
  document.body.appendChild(Object.assign(document.createElement('pre'), { id: 'flame-times', textContent: lines.join('\n') }));
})();
</script>
)js";

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: kiv_bench_flame_page PAGE\n";
    return 2;
  }
  const auto w = kivbench::make_flame_workload(stack_count);
  kivdb::report::flame_tree_builder builder;
  for (std::size_t s = 0; s < w.stacks.size(); ++s) builder.add(w.stacks[s], w.values[s]);
  kivdb::report::report_data data;
  data.summary.run_id = "bench";
  data.flame = builder.build({.min_share = 0, .max_nodes = std::numeric_limits<std::size_t>::max()});
  std::ostringstream page;
  kivdb::report::write_html(page, data, 10);
  std::string html = page.str();
  std::string script = timing;
  script.replace(script.find("ROUNDS"), 6, std::to_string(rounds));
  html.insert(html.rfind("</body>"), script);
  std::ofstream(argv[1]) << html;
  std::cout << data.flame.nodes.size() << " nodes\n";
  return 0;
}
