#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "reader/KivEvent.h"

class KivProcess;

// Records that change the context: scheduling, 3GL and Vorex call flow,
// queries.
class KivChangeContext : public KivEvent {
 public:
  using KivEvent::KivEvent;
};

class KivSchedule : public KivChangeContext {
 public:
  explicit KivSchedule(kiv_reader* reader) : KivChangeContext(kiv_e_schedule, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;
  KivProcess* get_cur_proc() const;
  KivProcess* get_new_proc() const;

  std::uint32_t curr_pid = 0;
  std::uint32_t new_pid = 0;
};

class KivFlowIn : public KivChangeContext {
 public:
  explicit KivFlowIn(kiv_reader* reader) : KivChangeContext(kiv_e_flow_in, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::uint32_t parent_id = 0;
  std::int32_t parent_funnr = 0;
  std::uint32_t child_id = 0;
  std::int32_t child_funnr = 0;
};

class KivFlowOut : public KivChangeContext {
 public:
  explicit KivFlowOut(kiv_reader* reader) : KivChangeContext(kiv_e_flow_out, reader) {}
  void traceevent(std::ostream& os) override;
};

class KivVorexFlowIn : public KivChangeContext {
 public:
  explicit KivVorexFlowIn(kiv_reader* reader) : KivChangeContext(kiv_e_vorex_flow_in, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::uint32_t id_of_obj = 0;
  std::uint32_t fun3glnr = 0;
  std::int32_t funnr = 0;
  std::int64_t sym = 0;
  std::string args;
};

class KivVorexFlowOut : public KivChangeContext {
 public:
  explicit KivVorexFlowOut(kiv_reader* reader) : KivChangeContext(kiv_e_vorex_flow_out, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::uint32_t id_of_obj = 0;
  std::uint32_t fun3glnr = 0;
  std::int32_t funnr = 0;
  std::string args;
};

class KivQueryIn : public KivChangeContext {
 public:
  explicit KivQueryIn(kiv_reader* reader) : KivChangeContext(kiv_e_query_in, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::uint32_t qid = 0;
  std::uint32_t type = 0;
  std::string query;
};

class KivQueryOut : public KivChangeContext {
 public:
  explicit KivQueryOut(kiv_reader* reader) : KivChangeContext(kiv_e_query_out, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::uint32_t qid = 0;
  std::uint32_t linked_qid = 0;
};
