#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "reader/KivEvent.h"

// Records that describe the run's context: malloc ids and their colours,
// processes, objects and their functions.
class KivContext : public KivEvent {
 public:
  using KivEvent::KivEvent;
};

class KivReserveIdColors : public KivContext {
 public:
  explicit KivReserveIdColors(kiv_reader* reader) : KivContext(kiv_e_reserve_id_colors, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::uint32_t color = 0;
  std::string colorname;
};

// Free id and reset id records carry the same elements.
class KivFreeId : public KivContext {
 public:
  explicit KivFreeId(kiv_reader* reader) : KivContext(kiv_e_free_id, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::uint32_t id = 0;
  std::string location_text;
  std::int64_t location = 0;
  std::uint32_t tot_size_wf = 0;
  std::uint32_t tot_size_nf = 0;
};

class KivResetId : public KivContext {
 public:
  explicit KivResetId(kiv_reader* reader) : KivContext(kiv_e_reset_id, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::uint32_t id = 0;
  std::string location_text;
  std::int64_t location = 0;
  std::uint32_t tot_size_wf = 0;
  std::uint32_t tot_size_nf = 0;
};

class KivProcessStart : public KivContext {
 public:
  explicit KivProcessStart(kiv_reader* reader) : KivContext(kiv_e_process_start, reader) {}
  // The session name keeps only what stands before its first blank.
  void setelems() override;
  void traceevent(std::ostream& os) override;
  // The traced run's own pid (the header's).
  int get_main_pid() const;

  std::uint32_t pid = 0;
  std::uint32_t parent = 0;
  std::uint32_t id = 0;
  std::string session_name;
};

class KivProcessEnd : public KivContext {
 public:
  explicit KivProcessEnd(kiv_reader* reader) : KivContext(kiv_e_process_end, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::uint32_t pid = 0;
};

class KivProcessSpecialLoad : public KivContext {
 public:
  explicit KivProcessSpecialLoad(kiv_reader* reader)
      : KivContext(kiv_e_process_special_load, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::uint32_t pid = 0;
  std::int32_t funnr = 0;
  std::string funcname;
};

class KivObjectLink : public KivContext {
 public:
  explicit KivObjectLink(kiv_reader* reader) : KivContext(kiv_e_object_link, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::uint32_t pid = 0;
  std::uint32_t id_of_obj = 0;
};

class KivObjectFunctionLoad : public KivContext {
 public:
  explicit KivObjectFunctionLoad(kiv_reader* reader, kiv_type type = kiv_e_object_function_load)
      : KivContext(type, reader) {}
  void setelems() override;
  void traceevent(std::ostream& os) override;

  std::uint32_t id_of_obj = 0;
  std::int32_t funnr = 0;
  std::string funcname;
};

// Same elements as a 3GL function name, for a Vorex function.
class KivObjectGlobalLoad : public KivObjectFunctionLoad {
 public:
  explicit KivObjectGlobalLoad(kiv_reader* reader)
      : KivObjectFunctionLoad(reader, kiv_e_object_global_load) {}
};
