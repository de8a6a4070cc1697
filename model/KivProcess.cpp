#include "model/KivProcess.h"

#include "header/kiv_hdr.h"
#include "reader/KivContext.h"
#include "reader/kiv_reader.h"

KivProcess::KivProcess(kiv_reader* owner, const KivProcessStart& rec)
    : main_pid(static_cast<std::uint32_t>(owner->header().pid)),
      pid(rec.pid),
      parent(rec.parent),
      session_name(rec.session_name),
      reader(owner) {}

KivProcess::KivProcess(kiv_reader* owner, int) : session_name("defaultproc"), reader(owner) {}

void KivProcess::free_process() { active = false; }

KivProcess_db::~KivProcess_db() {
  for (auto& [pid, proc] : procs_) release(proc);
}

void KivProcess_db::set_default(KivProcess* defproc) {
  defproc_ = defproc;
  procs_[0] = defproc;
}

void KivProcess_db::add_process(KivProcess* proc) {
  KivProcess*& slot = procs_[proc->pid];
  if (slot != proc) release(slot);
  slot = proc;
}

KivProcess* KivProcess_db::get_process(std::uint32_t pid) {
  KivProcess* proc = procs_[pid];
  if (proc == nullptr) return defproc_;
  if (proc->active) return proc;
  KivProcess* zero = procs_[0];
  return zero != nullptr ? zero : defproc_;
}

void KivProcess_db::release(KivProcess* proc) {
  if (proc != defproc_) delete proc;
}
