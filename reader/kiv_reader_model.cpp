// Handlers of the run-model records: processes and scheduling, objects and
// their functions, 3GL and Vorex call flow; the current-context accessors;
// the "process", "objects" and "functions" dumps.

#include <iostream>
#include <memory>
#include <string>

#include "header/kiv_hdr.h"
#include "model/KivObject_db.h"
#include "model/KivOip.h"
#include "model/KivProcess.h"
#include "output/csv_file.h"
#include "reader/KivChangeContext.h"
#include "reader/KivContext.h"
#include "reader/kiv_reader.h"
#include "runtime/settings.h"

namespace {

// Every record is traced right after it is decoded, before it is handled.
template <typename R>
R& decoded(R& rec) {
  rec.setelems();
  rec.traceevent(std::cerr);
  return rec;
}

bool debug_notices() { return debug_level >= 1; }
bool debug_records() { return debug_level > 1; }

}  // namespace

// ---- current context ------------------------------------------------------------

std::uint64_t kiv_reader::proc_generation() const { return proc_db_->generation(); }

void kiv_reader::refresh_curr_proc() {
  curr_proc_ = proc_db_->get_process(curr_pid_);
  curr_proc_gen_ = proc_db_->generation();
}

KivProcess* kiv_reader::process_of(std::uint32_t pid) {
  return pid == curr_pid_ ? cc_curr_proc() : proc_db_->get_process(pid);
}

const std::string& kiv_reader::cc_curr_bcall() { return cc_curr_proc()->bcall.str(); }
std::int64_t kiv_reader::cc_curr_bcall_sym() { return cc_curr_proc()->bcall_sym; }
const std::string& kiv_reader::cc_curr_bcall_arg() { return cc_curr_proc()->bcall_arg.str(); }
unsigned kiv_reader::cc_curr_arc() { return cc_curr_proc()->curr_arc(); }

// ---- processes ------------------------------------------------------------------

void kiv_reader::on_process_start() {
  KivProcessStart rec(this);
  decoded(rec);
  auto* proc = new KivProcess(this, rec);
  proc->start_time = now_.text;
  proc->start_rec = kiv_counters.record_count;
  proc_db_->add_process(proc);
  WriteMarker("Process", "Start", now_.text,
              "Start: " + rec.session_name + " " + std::to_string(rec.pid));
}

void kiv_reader::on_process_end() {
  KivProcessEnd rec(this);
  decoded(rec);
  KivProcess* proc = proc_db_->get_process(rec.pid);
  proc->end_time = now_.text;
  proc->end_rec = kiv_counters.record_count;
  const std::string text = "End: " + proc->session_name + " " + std::to_string(proc->pid);
  WriteMarker("Process", "End", now_.text, text);
  if (debug_notices()) std::cerr << "End process: " << text << '\n';
  end_process_tables(*proc);
  proc->free_process();
}

// The tables a process writes when it ends: its arcs, then its symbols and
// flow data.
void kiv_reader::end_process_tables(KivProcess& proc) {
  proc.dump_arcs(arcs_->get_stream());
  proc.dump_symbols(symbols_->get_stream());
  proc.dump_flowdata(flowdata_->get_stream());
}

void kiv_reader::on_schedule() {
  KivSchedule rec(this);
  decoded(rec);
  const KivProcess* from = rec.get_cur_proc();
  const KivProcess* to = rec.get_new_proc();
  if (debug_records())
    std::cerr << "schedule from " << from->pid << ' ' << from->session_name << " to " << to->pid
              << ' ' << to->session_name << '\n';
  set_current_pid(to->pid);
}

void kiv_reader::on_process_special_load() {
  KivProcessSpecialLoad rec(this);
  decoded(rec);
  proc_db_->get_process(rec.pid)->add_special(rec.funnr, rec.funcname);
  if (debug_records())
    std::cerr << "  " << rec.pid << ' ' << rec.funnr << ' ' << rec.funcname << '\n';
}

// ---- objects and functions -------------------------------------------------------

void kiv_reader::on_object_load() {
  auto obj = std::make_unique<KivObjectLoad>(this);
  decoded(*obj);
  obj->object_function_load(0, "top level");
  if (debug_notices())
    std::cerr << "---------------------------------\n"
              << " Load object: " << obj->id_of_obj << ' ' << obj->name << '\n';
  object_db_->add_object(std::move(obj));
}

void kiv_reader::on_object_link() {
  KivObjectLink rec(this);
  decoded(rec);
  if (debug_records())
    std::cerr << " OIP process id " << rec.pid << " links object id " << rec.id_of_obj << '\n';
  proc_db_->get_process(rec.pid)->link_oip(rec.id_of_obj);
}

void kiv_reader::on_object_function_load() {
  KivObjectFunctionLoad rec(this);
  decoded(rec);
  object_db_->get_oic(rec.id_of_obj)->object_function_load(rec.funnr, rec.funcname);
  if (debug_records())
    std::cerr << "  " << rec.id_of_obj << ' ' << rec.funnr << ' ' << rec.funcname << '\n';
}

void kiv_reader::on_object_global_load() {
  KivObjectGlobalLoad rec(this);
  decoded(rec);
  object_db_->get_oic(rec.id_of_obj)->object_global_load(rec.funnr, rec.funcname);
  if (debug_records())
    std::cerr << "  " << rec.id_of_obj << ' ' << rec.funnr << ' ' << rec.funcname << '\n';
}

// ---- 3GL call flow ---------------------------------------------------------------

// A call whose caller or callee has no node (or a process without a call
// graph) changes no stack: the step is counted and its row written with the
// unchanged depth and current arc, so every flow record has its row.
void kiv_reader::on_flow_in() {
  KivFlowIn rec(this);
  decoded(rec);
  KivProcess& p = *cc_curr_proc();
  if (p.arcs) {
    Func_rel* from = p.find_function(rec.parent_id, rec.parent_funnr, false);
    Func_rel* to = p.find_function(rec.child_id, rec.child_funnr, false);
    if (from != nullptr && to != nullptr) {
      p.s_push(to, from->update_child(to, p));
      if (debug_records())
        std::cerr << "3>" << p.depth() << ' ' << from->name() << "->" << to->name() << '\n';
    }
  }
  p.write_flow_row(++p.flow_seq, p.depth(), p.curr_arc(), '>');
}

void kiv_reader::on_flow_out() {
  KivFlowOut rec(this);
  decoded(rec);
  KivProcess& p = *cc_curr_proc();
  p.write_flow_row(++p.flow_seq, p.depth(), p.curr_arc(), '<');
  if (p.stack.empty()) return;
  const Func_context left = p.stack.back();
  p.stack.pop_back();
  if (debug_records())
    std::cerr << "3<" << p.depth() << ' ' << frame_name(p.top()) << "<-" << frame_name(&left)
              << '\n';
}

// ---- Vorex call flow ---------------------------------------------------------------

// A Vorex function that is not found (object not linked, number without a
// node) leaves the current Vorex call as it was.
void kiv_reader::on_vorex_flow_in() {
  KivVorexFlowIn rec(this);
  decoded(rec);
  KivProcess& p = *cc_curr_proc();
  KivOip* oip = p.find_oip(rec.id_of_obj);
  Func_rel* fn = oip != nullptr ? oip->find_function(rec.funnr, true) : nullptr;
  if (fn == nullptr) return;
  p.bcall = shared_text::borrow(fn->loc->name);
  p.bcall_sym = rec.sym;
  p.bcall_arg.assign(rec.args);
  if (debug_records()) std::cerr << "b>" << p.depth() << fn->name() << '\n';
}

void kiv_reader::on_vorex_flow_out() {
  KivVorexFlowOut rec(this);
  decoded(rec);
  KivProcess& p = *cc_curr_proc();
  if (debug_records()) std::cerr << "b<" << p.depth() << frame_name(p.top()) << '\n';
  p.bcall.clear();
  p.bcall_sym = 0;
  p.bcall_arg.clear();
}

// ---- dumps ---------------------------------------------------------------------------

void kiv_reader::dump_proc_db(std::uint64_t rec) {
  csv_file table(sequence_, script_, "process", dir_, hdr_->runid, first_);
  const auto& procs = proc_db_->procs();
  if (procs.empty()) {
    defproc_->dumpproc(table.get_stream());
    table.get_stream() << '\n';
    return;
  }
  proc_db_->check_end_time(end_time_, rec);
  for (const auto& [pid, proc] : procs) {
    if (proc == nullptr) continue;
    out_stream& os = table.get_stream();
    proc->dumpproc(os);
    os << '\n';
    if (!proc->active) continue;
    proc->dump_arcs(arcs_->get_stream());
    proc->free_process();
  }
}

void kiv_reader::dump_object_db() {
  csv_file objects(sequence_, script_, "objects", dir_, hdr_->runid, first_);
  object_db_->dump_db_obj(objects.get_stream());
  csv_file functions(sequence_, script_, "functions", dir_, hdr_->runid, first_);
  object_db_->dump_db_objfun(functions.get_stream());
}
