#include "model/KivEventContext.h"

#include "model/KivProcess.h"
#include "output/row_writer.h"
#include "reader/kiv_reader.h"
#include "runtime/settings.h"

KivEventContext::KivEventContext(kiv_reader* owner) : reader(owner) {
  const KivProcess* proc = owner->cc_curr_proc();
  pid = owner->current_pid();
  arc = proc->curr_arc();
  bcall = proc->bcall;
  bcall_sym = proc->bcall_sym;
  bcall_arg = proc->bcall_arg;
}

KivEventContext::KivEventContext(kiv_reader* owner, std::uint32_t pid, std::uint32_t arc,
                                 const std::string& bcall, std::int64_t bcall_sym,
                                 const std::string& bcall_arg)
    : pid(pid), arc(arc), bcall(bcall), bcall_sym(bcall_sym), bcall_arg(bcall_arg), reader(owner) {}

namespace {

// A run of numbers, each followed by data_sep: the row writer formats a run
// with one check for room.
template <typename... T>
void numbers(out_stream& os, T... values) {
  ((os << values << data_sep), ...);
}
template <typename... T>
void numbers(row_writer& os, T... values) {
  os.fields(values...);
}

// The context columns for either writer.
template <typename W>
W& write_context(W& os, const KivEventContext& c) {
  const KivProcess* p = c.reader->process_of(c.pid);
  if (p->pid == 0 || !p->arcs) {
    return os << p->pid << data_sep << 0 << data_sep << 0 << data_sep << 0 << data_sep << 0
              << fun_sep << 0 << data_sep << 0 << fun_sep << 0 << data_sep << data_sep << 0
              << data_sep << data_sep << 0;
  }
  numbers(os, p->pid, c.arc, p->flow_seq, p->depth());
  if (const FuncArc* a = p->get_arc(c.arc)) {
    os << a->parent->loc->objid << fun_sep;
    numbers(os, a->parent->loc->funnr);
    os << a->child->loc->objid << fun_sep;
    numbers(os, a->child->loc->funnr);
  } else {
    os << 0 << fun_sep << 0 << data_sep << 0 << fun_sep << 0 << data_sep;
  }
  os << c.bcall.str() << data_sep;
  numbers(os, c.bcall_sym);
  return os << c.bcall_arg.str() << data_sep << c.reader->open_query_seq();
}

}  // namespace

out_stream& KivEventContext::dumpcontext(out_stream& os) const { return write_context(os, *this); }

row_writer& KivEventContext::dumpcontext(row_writer& os) const { return write_context(os, *this); }
