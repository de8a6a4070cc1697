#include "reader/KivChangeContext.h"

#include "model/KivProcess.h"
#include "reader/kiv_reader.h"

void KivSchedule::setelems() {
  readelem(curr_pid);
  readelem(new_pid);
}

void KivSchedule::traceevent(std::ostream& os) {
  if (tracing()) os << " curr_pid: " << curr_pid << " new_pid: " << new_pid << '\n';
}

KivProcess* KivSchedule::get_cur_proc() const { return reader()->proc_db().get_process(curr_pid); }

KivProcess* KivSchedule::get_new_proc() const { return reader()->proc_db().get_process(new_pid); }

void KivFlowIn::setelems() {
  readelem(parent_id);
  readelem(parent_funnr);
  readelem(child_id);
  readelem(child_funnr);
}

void KivFlowIn::traceevent(std::ostream& os) {
  if (!tracing()) return;
  os << " parent id: " << parent_id << " parent funnr: " << parent_funnr
     << " child id: " << child_id << " child funnr: " << child_funnr << '\n';
}

void KivFlowOut::traceevent(std::ostream& os) {
  if (tracing()) os << '\n';
}

void KivVorexFlowIn::setelems() {
  readelem(id_of_obj);
  readelem(fun3glnr);
  readelem(funnr);
  readelem(sym);
  readelem(args);
}

void KivVorexFlowIn::traceevent(std::ostream& os) {
  if (!tracing()) return;
  os << "id of obj: " << id_of_obj << "fun 3gl nr:" << fun3glnr << "funnr: " << funnr
     << "sym: " << sym << "args: " << args << '\n';
}

void KivVorexFlowOut::setelems() {
  readelem(id_of_obj);
  readelem(fun3glnr);
  readelem(funnr);
  readelem(args);
}

void KivVorexFlowOut::traceevent(std::ostream& os) {
  if (!tracing()) return;
  os << "id of obj: " << id_of_obj << "fun 3gl nr:" << fun3glnr << "funnr: " << funnr
     << "args: " << args << '\n';
}

void KivQueryIn::setelems() {
  readelem(qid);
  readelem(type);
  readelem(query);
}

void KivQueryIn::traceevent(std::ostream& os) {
  if (!tracing()) return;
  os << " qid: " << qid << " qtype: " << static_cast<char>(type & 0xffU) << " query:" << query
     << '\n';
}

void KivQueryOut::setelems() {
  readelem(qid);
  readelem(linked_qid);
}

void KivQueryOut::traceevent(std::ostream& os) {
  if (tracing()) os << " qid: " << qid << " linked_qid " << linked_qid << '\n';
}
