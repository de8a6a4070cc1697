#include "tools/kivgen/run_generator.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace kivgen {

namespace {

constexpr std::int32_t run_start_secs = 1'767'225'600;  // 2026-01-01 00:00:00 UTC
constexpr std::int64_t ns_per_us = 1000;
constexpr std::uint64_t heap_base = 0x08100000;
constexpr std::uint64_t heap_wrap = 0xe0000000;          // addresses stay within 32 bits
constexpr std::uint64_t location_base = 0x00401000;
constexpr std::uint64_t location_step = 0x40;
constexpr std::uint64_t symbol_base = 0x00600000;
constexpr std::uint64_t unknown_base = 0x0badf000;
constexpr std::uint32_t brk_step = 128 * 1024;
constexpr std::uint32_t gap_step = 64 * 1024;
constexpr std::uint32_t block_align = 16;
constexpr std::uint32_t block_overhead = 16;
constexpr std::uint32_t reuse_limit = 4096;              // freed blocks up to this size are reused
constexpr std::uint32_t location_count = 150;
constexpr std::uint32_t max_call_depth = 12;
constexpr std::uint32_t max_vorex_depth = 4;
constexpr std::int32_t first_process_pid = 1001;

constexpr std::array<std::string_view, 16> modules = {
    "mem", "sql", "xml", "dict", "ui", "rpt", "net", "file", "str", "list", "hash", "date", "num", "cfg", "log", "sec"};
constexpr std::array<std::string_view, 16> verbs = {
    "alloc", "free", "init", "open", "close", "read", "write", "parse",
    "format", "lookup", "insert", "delete", "copy", "compare", "flush", "reset"};
constexpr std::array<std::string_view, 8> vorex_classes = {
    "Order", "Customer", "Invoice", "Stock", "Report", "Menu", "Login", "Ledger"};
constexpr std::array<std::string_view, 8> vorex_methods = {
    "Open", "Validate", "Save", "Print", "Close", "Refresh", "Search", "Post"};
constexpr std::array<std::string_view, 6> session_kinds = {
    "order entry", "batch invoicing", "report server", "stock sync", "ledger close", "web gateway"};
constexpr std::array<std::string_view, 5> colour_names = {"default", "header", "body", "index", "temp"};
constexpr std::array<std::string_view, 4> vorex_args = {"", "p_id=42", "mode='R'", "rows=100, lock=1"};
constexpr std::array<std::string_view, 6> domains = {
    "dom_customer_id", "dom_amount", "dom_date", "dom_flag", "dom_name", "dom_code"};
constexpr std::array<std::string_view, 12> shared_ids = {
    "dlock:order_lock:writer",
    "dlock:stock_lock:reader",
    "oic:customer_cache:by_id",
    "oic runtime cache",
    "qdb:salesdb",
    "qdb:archive",
    "make_new_sql_stmt:select * from orders where id = ?",
    "dbs_session:main",
    "dbs_session:reports",
    "general heap",
    "string pool",
    "ui widgets"};
constexpr std::array<std::string_view, 5> sql_statements = {
    "select * from orders where id = ?",
    "select name, city from customer where region = ? order by name",
    "update stock set qty = qty - ? where item = ?",
    "insert into ledger (acct, amount, posted) values (?, ?, ?)",
    "delete from session_lock where owner = ?"};

// Symbol base types and the flag bits that decorate them.
constexpr std::array<std::uint32_t, 5> base_types = {0x1, 0x2, 0x4, 0x8001, 0x10001};
constexpr std::array<std::uint32_t, 6> flag_extras = {0x0, 0x200, 0x220, 0x100, 0x400, 0x800};
constexpr std::uint32_t flag_domain = 0x40;
constexpr std::uint32_t flag_global = 0x100000;

std::uint32_t round_block(std::uint32_t size) {
  return (size + block_overhead + block_align - 1) / block_align * block_align;
}

}  // namespace

run_generator::run_generator(const generator_options& options)
    : opt_(options),
      rng_(options.seed),
      clock_(std::make_shared<kivw::fake_clock>(kivw::time_value{run_start_secs, 0}, ns_per_us)),
      heap_top_(heap_base),
      brk_(heap_base) {
  kivw::trace_options t;
  t.dir = opt_.dir;
  t.runid = opt_.runid;
  t.base = opt_.base;
  t.pid = opt_.pid;
  t.size_limit = opt_.size_kb * kivw::bytes_per_kb;
  t.order = opt_.big_endian ? kivw::byte_order::big : kivw::byte_order::little;
  t.clock = clock_;
  t.mallinfo_source = [this] { return figures(); };
  t.trailer = {std::nullopt, std::nullopt, "vorexrun", "kivgen", "/opt/kre", "demo", "kivgen-host"};
  session_ = std::make_unique<kivw::trace_session>(std::move(t));
  free_lists_.resize(reuse_limit / block_align + 1);
  for (std::string_view m : modules)
    for (std::string_view v : verbs) function_names_.push_back(std::string(m) + "_" + std::string(v));
  for (std::string_view c : vorex_classes)
    for (std::string_view m : vorex_methods) vorex_names_.push_back(std::string(c) + "." + std::string(m));
  for (std::uint32_t i = 0; i < location_count; ++i)
    locations_.push_back({location_base + i * location_step,
                          "src/" + std::string(modules[i % modules.size()]) + "_" +
                              std::string(verbs[i / modules.size() % verbs.size()]) + ".c:" +
                              std::to_string(40 + i * 17 % 900)});
  opt_.processes = std::max<std::uint32_t>(opt_.processes, 1);
  while (processes_.size() < opt_.processes) add_process();
}

run_generator::~run_generator() = default;

bool run_generator::run() {
  if (!session_->active()) return false;
  session_->marker("kivgen seed " + std::to_string(opt_.seed));
  setup_objects();
  for (std::string_view name : shared_ids) reserve(std::string(name), rng_.between(1, colour_names.size()));
  start_process(0);
  while (session_->record_count() < opt_.records && session_->active()) step();
  while (started_ < processes_.size()) start_process(started_);
  for (std::size_t i = 0; i + 1 < processes_.size(); ++i)
    if (processes_[i].running) end_process(i);
  session_->close();
  return true;
}

// ---- run structure ---------------------------------------------------------

void run_generator::setup_objects() {
  const std::uint32_t count = rng_.between(3, 6);
  for (std::uint32_t k = 0; k < count; ++k) {
    object o{100 + k, rng_.between(8, 40), rng_.between(4, 20)};
    session_->object_load(o.id);
    for (std::uint32_t f = 1; f <= o.functions; ++f)
      session_->object_function_load(o.id, static_cast<std::int32_t>(f),
                                     function_names_[(k * 37 + f) % function_names_.size()]);
    for (std::uint32_t g = 0; g < o.globals; ++g)
      session_->object_global_load(o.id, static_cast<std::int32_t>(g),
                                   vorex_names_[(k * 11 + g) % vorex_names_.size()]);
    objects_.push_back(o);
  }
}

std::size_t run_generator::add_process() {
  const std::size_t i = processes_.size();
  process& p = processes_.emplace_back();
  p.pid = first_process_pid + static_cast<std::int32_t>(i);
  p.session_name = std::string(session_kinds[i % session_kinds.size()]) + " #" + std::to_string(i + 1);
  return i;
}

void run_generator::start_process(std::size_t index) {
  process& p = processes_[index];
  p.started_at = session_->record_count();
  const std::int32_t parent = index == 0 ? opt_.pid : processes_[0].pid;
  session_->process_start(p.pid, parent, p.session_name);
  const auto pid = static_cast<std::uint32_t>(p.pid);
  session_->process_special_load(pid, 0, "3gl process main");
  session_->process_special_load(pid, -1, "interrupt handler");
  session_->process_special_load(pid, -2, "exit handler");
  for (const object& o : objects_) {
    if (!p.objects.empty() && rng_.chance(300)) continue;
    session_->object_link(p.pid, o.id);
    p.objects.push_back(o.id);
  }
  p.running = true;
  reserve("proc:" + std::to_string(p.pid) + ":" + p.session_name, rng_.between(1, 3));
  reserve("xml:proc " + std::to_string(p.pid) + ":loc " + locations_[index % locations_.size()].text, 1);
  const std::int32_t from = started_ == 0 ? 0 : current().pid;
  session_->schedule(from, p.pid);
  current_ = index;
  session_->marker("started " + p.session_name);
  started_ = std::max(started_, index + 1);
}

void run_generator::end_process(std::size_t index) {
  process& p = processes_[index];
  session_->marker("ending " + p.session_name);
  if (!opt_.leaky) free_process_ids(p.pid);
  session_->process_end(p.pid);
  p.running = false;
  ++ended_;
  if (current_ != index) return;
  for (std::size_t i = 0; i < processes_.size(); ++i) {
    if (!processes_[i].running) continue;
    session_->schedule(p.pid, processes_[i].pid);
    current_ = i;
    return;
  }
}

// Processes start during the first half of the run and all but the last
// end during the second half.
void run_generator::lifecycle() {
  if (opt_.session_records != 0) return turnover();
  const double progress = static_cast<double>(session_->record_count()) / static_cast<double>(opt_.records);
  const double slice = 0.5 / static_cast<double>(processes_.size());
  if (started_ < processes_.size() && progress >= slice * static_cast<double>(started_))
    start_process(started_);
  if (ended_ + 1 < processes_.size() && ended_ < started_ &&
      progress >= 0.5 + slice * static_cast<double>(ended_ + 1))
    end_process(ended_);
}

// The first processes start spread over one session's length; from then on
// the oldest ends once it has run its length, and a new one replaces it.
void run_generator::turnover() {
  const std::uint64_t now = session_->record_count();
  if (started_ < opt_.processes) {
    if (now >= opt_.session_records / opt_.processes * started_) start_process(started_);
    return;
  }
  const std::size_t oldest = ended_;
  if (now - processes_[oldest].started_at < opt_.session_records) return;
  start_process(add_process());
  end_process(oldest);
}

void run_generator::reserve(const std::string& name, std::uint32_t colors) {
  const location& loc = pick_location();
  malloc_id m;
  m.id = next_id_++;
  m.name = name;
  m.colors = static_cast<std::int32_t>(colors);
  session_->reserve_id(m.id, 64u << rng_.below(6), loc.key, loc.text, m.colors, name);
  for (std::int32_t c = 0; c < m.colors; ++c)
    session_->reserve_id_colors(c, colour_names[static_cast<std::size_t>(c) % colour_names.size()]);
  ids_.push_back(std::move(m));
}

void run_generator::step() {
  ++actions_;
  clock_->advance(static_cast<std::int64_t>(rng_.between(5, 400)) * ns_per_us);
  lifecycle();
  const std::uint32_t r = rng_.below(1000);
  if (r < 300) return allocate_wf();
  if (r < 380) return allocate_nf();
  if (r < 600) return opt_.leaky ? allocate_wf() : free_block();
  if (r < 650) return realloc_in_place();
  if (r < 680) return opt_.leaky ? realloc_in_place() : realloc_moving();
  if (r < 800) {
    const auto depth = current().stack.size();
    return depth == 0 || (depth < max_call_depth && rng_.chance(550)) ? call_in() : call_out();
  }
  if (r < 860) return vorex_call();
  if (r < 900) return query();
  if (r < 930) return symbol();
  if (r < 950) return schedule();
  if (r < 952) return opt_.leaky ? allocate_nf() : release_id();
  if (r < 954) return opt_.leaky ? allocate_nf() : free_unknown();
  if (r < 955) return session_->marker("checkpoint " + std::to_string(actions_));
  allocate_wf();
}

// ---- memory ----------------------------------------------------------------

void run_generator::allocate_wf() {
  malloc_id& m = pick_id();
  const std::uint32_t size = pick_size();
  const block b{new_address(round_block(size)), size, round_block(size),
                static_cast<std::int32_t>(rng_.below(static_cast<std::uint32_t>(m.colors)))};
  const location& loc = pick_location();
  session_->malloc_wf(m.id, b.color, b.addr, b.size, b.tot_size, loc.key, loc.text);
  m.live.push_back(b);
  m.tot_wf += b.tot_size;
  live_bytes_ += b.tot_size;
}

void run_generator::allocate_nf() {
  malloc_id& m = pick_id();
  const std::uint32_t size = pick_size();
  const std::uint32_t tot = round_block(size);
  const auto color = static_cast<std::int32_t>(rng_.below(static_cast<std::uint32_t>(m.colors)));
  const location& loc = pick_location();
  session_->malloc_nf(m.id, color, new_address(tot), size, tot, loc.key, loc.text);
  m.tot_nf += tot;
  live_bytes_ += tot;
}

run_generator::malloc_id* run_generator::id_with_blocks() {
  for (int attempt = 0; attempt < 4; ++attempt) {
    malloc_id& m = pick_id();
    if (!m.live.empty()) return &m;
  }
  return nullptr;
}

void run_generator::release_block(const block& b) {
  live_bytes_ -= b.tot_size;
  if (b.tot_size <= reuse_limit) free_lists_[b.tot_size / block_align].push_back(b.addr);
}

void run_generator::free_block() {
  malloc_id* m = id_with_blocks();
  if (m == nullptr) return allocate_wf();
  const std::size_t i = rng_.below(static_cast<std::uint32_t>(m->live.size()));
  const block b = m->live[i];
  m->live[i] = m->live.back();
  m->live.pop_back();
  m->tot_wf -= b.tot_size;
  const location& loc = pick_location();
  session_->free(m->id, b.color, b.addr, loc.key, loc.text);
  release_block(b);
}

void run_generator::free_unknown() {
  malloc_id& m = pick_id();
  const location& loc = pick_location();
  session_->free(m.id, 0, unknown_base + block_align * unknown_frees_++, loc.key, loc.text);
}

void run_generator::realloc_in_place() {
  malloc_id* m = id_with_blocks();
  if (m == nullptr) return allocate_wf();
  block& b = m->live[rng_.below(static_cast<std::uint32_t>(m->live.size()))];
  // Grow or shrink within the block's neighbourhood, as an allocator that
  // can extend in place would.
  const std::uint32_t size = opt_.leaky ? b.size + rng_.between(1, 256) : rng_.between(1, b.size * 2 + 16);
  const std::uint32_t tot = round_block(size);
  const location& loc = pick_location();
  session_->free_realloc(m->id, b.color, b.addr, b.addr, size, tot, loc.key, loc.text);
  m->tot_wf += static_cast<std::int64_t>(tot) - b.tot_size;
  live_bytes_ = live_bytes_ + tot - b.tot_size;
  b.size = size;
  b.tot_size = tot;
}

void run_generator::realloc_moving() {
  malloc_id* m = id_with_blocks();
  if (m == nullptr) return allocate_wf();
  const std::size_t i = rng_.below(static_cast<std::uint32_t>(m->live.size()));
  const block old = m->live[i];
  const std::uint32_t size = rng_.between(old.size + 1, old.size * 3 + 64);
  const block moved{new_address(round_block(size)), size, round_block(size), old.color};
  const location& loc = pick_location();
  session_->realloc_notify(old.addr);
  session_->malloc_wf(m->id, moved.color, moved.addr, moved.size, moved.tot_size, loc.key, loc.text);
  session_->free(m->id, old.color, old.addr, loc.key, loc.text);
  m->live[i] = moved;
  m->tot_wf += static_cast<std::int64_t>(moved.tot_size) - old.tot_size;
  live_bytes_ += moved.tot_size;
  release_block(old);
}

// Free or reset a whole malloc id.
void run_generator::release_id() {
  malloc_id* m = id_with_blocks();
  if (m == nullptr) return allocate_nf();
  const bool reset = rng_.chance(500);
  give_back(*m, reset);
  if (reset) return;
  const std::string name = m->name;
  const auto colors = static_cast<std::uint32_t>(m->colors);
  drop_id(static_cast<std::size_t>(m - ids_.data()));
  reserve(name, colors);  // the runtime reserves the id again under a new number
}

// Gives back every block of the id at once: freed, or reset (the id stays
// reserved). Now and then the totals the allocator reports differ from what
// was traced, as they do after untraced memory.
void run_generator::give_back(malloc_id& m, bool reset) {
  const std::int32_t drift = rng_.chance(250) ? static_cast<std::int32_t>(block_align) : 0;
  const auto wf = static_cast<std::int32_t>(m.tot_wf) + drift;
  const auto nf = static_cast<std::int32_t>(m.tot_nf);
  const location& loc = pick_location();
  if (reset) session_->reset_id(static_cast<std::int32_t>(m.id), loc.key, loc.text, wf, nf);
  else session_->free_id(static_cast<std::int32_t>(m.id), loc.key, loc.text, wf, nf);
  for (const block& b : m.live) release_block(b);
  live_bytes_ -= static_cast<std::uint64_t>(m.tot_nf);
  m.live.clear();
  m.tot_wf = 0;
  m.tot_nf = 0;
}

// A freed id takes no more memory: only open ids stay in ids_, so the mix of
// ids stays the same however long the run.
void run_generator::drop_id(std::size_t index) {
  ids_[index] = std::move(ids_.back());
  ids_.pop_back();
}

// A session's own ids go with it (unless nothing is ever freed).
void run_generator::free_process_ids(std::int32_t pid) {
  const std::string own = "proc:" + std::to_string(pid) + ":";
  const std::string own_xml = "xml:proc " + std::to_string(pid) + ":";
  for (std::size_t i = ids_.size(); i-- > 0;) {
    if (!ids_[i].name.starts_with(own) && !ids_[i].name.starts_with(own_xml)) continue;
    give_back(ids_[i], false);
    drop_id(i);
  }
}

std::uint64_t run_generator::new_address(std::uint32_t tot_size) {
  if (tot_size <= reuse_limit) {
    auto& list = free_lists_[tot_size / block_align];
    if (!list.empty()) {
      const std::uint64_t addr = list.back();
      list.pop_back();
      return addr;
    }
  }
  heap_grow(tot_size);
  const std::uint64_t addr = heap_top_;
  heap_top_ += tot_size;
  return addr;
}

void run_generator::heap_grow(std::uint32_t bytes) {
  if (heap_top_ + bytes > heap_wrap) heap_top_ = brk_ = heap_base;
  while (heap_top_ + bytes > brk_) {
    if (rng_.chance(80)) {
      // Something else mapped memory right above the break.
      const std::uint64_t gap = gap_step * rng_.between(1, 8);
      session_->sbrk_gap(brk_, brk_ + gap);
      brk_ += gap;
      heap_top_ = brk_;
    }
    const std::uint32_t incr = brk_step * rng_.between(1, 4);
    brk_ += incr;
    session_->sbrk(brk_, incr);
  }
}

kivw::mallinfo_values run_generator::figures() const {
  const std::uint64_t arena = brk_ - heap_base;
  const std::uint64_t used = std::min(live_bytes_, arena);
  return {static_cast<std::uint32_t>(arena), static_cast<std::uint32_t>(used),
          static_cast<std::uint32_t>(arena - used)};
}

std::uint32_t run_generator::pick_size() {
  const std::uint32_t r = rng_.below(1000);
  if (r < 700) return rng_.between(8, 128);
  if (r < 950) return rng_.between(129, 1024);
  if (r < 999) return rng_.between(1025, 16384);
  return rng_.between(16385, 262144);
}

run_generator::malloc_id& run_generator::pick_id() {
  return ids_[rng_.below(static_cast<std::uint32_t>(ids_.size()))];
}

const run_generator::location& run_generator::pick_location() {
  static const location none{0, ""};
  if (rng_.chance(80)) return none;
  // Skewed towards the first locations, as hot allocation sites are.
  const std::uint32_t a = rng_.below(location_count);
  const std::uint32_t b = rng_.below(location_count);
  return locations_[std::min(a, b)];
}

// ---- flow, queries, symbols, scheduling ---------------------------------------

run_generator::process& run_generator::current() { return processes_[current_]; }

const run_generator::object& run_generator::linked_object(const process& p) {
  const std::uint32_t id = p.objects[rng_.below(static_cast<std::uint32_t>(p.objects.size()))];
  return *std::find_if(objects_.begin(), objects_.end(), [id](const object& o) { return o.id == id; });
}

void run_generator::call_in() {
  process& p = current();
  const frame parent = p.stack.empty() ? frame{p.objects.front(), 0} : p.stack.back();
  frame child{};
  if (rng_.chance(20)) {
    child = {static_cast<std::uint32_t>(p.pid), -1};  // the interrupt handler
  } else {
    const object& o = linked_object(p);
    child = {o.id, static_cast<std::int32_t>(rng_.between(1, o.functions))};
  }
  session_->flow_in(parent.obj, parent.funnr, child.obj, child.funnr);
  p.stack.push_back(child);
}

void run_generator::call_out() {
  process& p = current();
  if (p.stack.empty()) return;
  session_->flow_out();
  p.stack.pop_back();
}

void run_generator::vorex_call() {
  process& p = current();
  const std::int32_t fun3gl = p.stack.empty() ? 0 : p.stack.back().funnr;
  if (!p.vorex.empty() && (p.vorex.size() >= max_vorex_depth || rng_.chance(500))) {
    const frame f = p.vorex.back();
    p.vorex.pop_back();
    session_->vorex_flow_out(f.obj, fun3gl, f.funnr, "");
    return;
  }
  const object& o = linked_object(p);
  const frame f{o.id, static_cast<std::int32_t>(rng_.below(o.globals))};
  const std::uint64_t sym = p.symbols == 0 || rng_.chance(500) ? 0 : symbol_base + rng_.below(p.symbols) * 0x20;
  session_->vorex_flow_in(f.obj, fun3gl, f.funnr, sym, vorex_args[rng_.below(vorex_args.size())]);
  p.vorex.push_back(f);
}

void run_generator::query() {
  if (open_query_ != 0) {
    const std::uint32_t linked = prepared_.size() > 1 && rng_.chance(100) ? prepared_.front() : 0;
    session_->query_out(static_cast<std::int32_t>(open_query_), static_cast<std::int32_t>(linked));
    open_query_ = 0;
    return;
  }
  if (prepared_.empty() || rng_.chance(150)) {
    session_->query_in(0, 'p', sql_statements[rng_.below(sql_statements.size())]);
    open_query_ = next_qid_++;
    prepared_.push_back(open_query_);
    return;
  }
  static constexpr std::string_view operations = "bbeffffffsc";
  const char op = operations[rng_.below(operations.size())];
  const std::size_t i = rng_.below(static_cast<std::uint32_t>(prepared_.size()));
  open_query_ = prepared_[i];
  session_->query_in(static_cast<std::int32_t>(open_query_), op, "");
  if (op != 'c') return;
  prepared_[i] = prepared_.back();
  prepared_.pop_back();
}

void run_generator::symbol() {
  process& p = current();
  const std::uint64_t sym = symbol_base + static_cast<std::uint64_t>(p.symbols) * 0x20;
  ++p.symbols;
  const auto category = static_cast<std::int32_t>(rng_.between(1, 4));
  session_->symbol_new_sym(sym, static_cast<std::int32_t>(p.symbols), category);
  std::uint32_t flags = base_types[rng_.below(base_types.size())] | flag_extras[rng_.below(flag_extras.size())];
  if (category == 3 && rng_.chance(500)) flags |= flag_global;
  std::uint32_t elements = 1;
  if (rng_.chance(300)) {
    const std::uint32_t dims = rng_.between(1, 3);
    std::array<std::uint32_t, 4> d{};
    for (std::uint32_t k = 0; k < dims; ++k) {
      d[k] = rng_.between(2, 50);
      elements *= d[k];
    }
    session_->symbol_dims(sym, dims, d[0], d[1], d[2], d[3]);
  }
  if (rng_.chance(300)) {
    session_->symbol_dd_name(sym, domains[rng_.below(domains.size())]);
    flags |= flag_domain;
  }
  const std::string name = std::string(category == 2 ? "p_" : "v_") + std::to_string(p.symbols);
  session_->symbol_alloc(sym, flags, elements * rng_.between(1, 64), name);
}

void run_generator::schedule() {
  std::vector<std::size_t> others;
  for (std::size_t i = 0; i < processes_.size(); ++i)
    if (processes_[i].running && i != current_) others.push_back(i);
  if (others.empty()) return allocate_wf();
  const std::size_t next = others[rng_.below(static_cast<std::uint32_t>(others.size()))];
  session_->schedule(current().pid, processes_[next].pid);
  current_ = next;
}

}  // namespace kivgen
