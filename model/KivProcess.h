#pragma once

#include <cstdint>
#include <map>
#include <string>

class kiv_reader;
class KivProcessStart;

// One traced 3GL process (or the reader's default process, pid 0, which
// stands for everything outside a traced process).
class KivProcess {
 public:
  // Opens a traced process from its start record.
  KivProcess(kiv_reader* reader, const KivProcessStart& rec);
  // The default process "defaultproc"; divisor scales its record counter.
  KivProcess(kiv_reader* reader, int divisor);
  KivProcess(const KivProcess&) = delete;
  KivProcess& operator=(const KivProcess&) = delete;

  // Releases what the process holds at its end; it is no longer current
  // for lookups afterwards.
  void free_process();

  std::uint32_t main_pid = 0;
  std::uint32_t pid = 0;
  std::uint32_t parent = 0;
  std::uint32_t mal_id = 0;
  std::uint32_t xml_id = 0;
  std::string session_name;
  std::string obj_name = "(process internal)";
  std::string start_time;
  std::string end_time;
  std::uint64_t start_rec = 0;
  std::uint64_t end_rec = 0;
  kiv_reader* reader = nullptr;
  bool active = true;
  std::string bcall;
  std::int64_t bcall_sym = 0;
  std::string bcall_arg;
  std::uint32_t flow_seq = 0;
};

// The processes of one run by pid. Key 0 holds the default process, which
// the reader owns; every other process is owned here.
class KivProcess_db {
 public:
  KivProcess_db() = default;
  ~KivProcess_db();
  KivProcess_db(const KivProcess_db&) = delete;
  KivProcess_db& operator=(const KivProcess_db&) = delete;

  void set_default(KivProcess* defproc);
  // Stores the process under its pid, replacing (and releasing) what the
  // entry held.
  void add_process(KivProcess* proc);
  // Never null: an unknown pid (remembered as an empty entry) gives the
  // default process, an ended one the process under pid 0.
  KivProcess* get_process(std::uint32_t pid);
  KivProcess* default_process() const { return defproc_; }
  const std::map<std::uint32_t, KivProcess*>& procs() const { return procs_; }

 private:
  void release(KivProcess* proc);

  std::map<std::uint32_t, KivProcess*> procs_;
  KivProcess* defproc_ = nullptr;
};
