#include "support/pg_cluster.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace kivtest {

namespace {

constexpr const char* server_user = "postgres";
constexpr const char* pg_lib_root = "/usr/lib/postgresql";

std::string reason;

// The newest installed server's binaries.
std::filesystem::path find_bin() {
  std::filesystem::path best;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(pg_lib_root, ec)) {
    const std::filesystem::path bin = e.path() / "bin";
    if (std::filesystem::exists(bin / "initdb") && (best.empty() || e.path().filename() > best.parent_path().filename()))
      best = bin;
  }
  return best;
}

std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

pg_cluster* pg_cluster::shared() {
  static std::unique_ptr<pg_cluster> cluster = [] {
    std::unique_ptr<pg_cluster> c(new pg_cluster());
    reason = c->start();
    if (!reason.empty()) c.reset();
    return c;
  }();
  return cluster.get();
}

const std::string& pg_cluster::skip_reason() { return reason; }

// Runs a command as the server's user, with its output kept for a message.
std::string pg_cluster::run(const std::string& command) const {
  const std::string as_user = ::geteuid() == 0 ? "runuser -u " + std::string(server_user) + " -- " : "";
  const std::string line = as_user + command + " 2>&1";
  std::FILE* p = ::popen(line.c_str(), "r");
  if (p == nullptr) return "cannot run " + command;
  std::string out;
  char buf[256];
  while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
  const int status = ::pclose(p);
  return status == 0 ? std::string() : command + " failed: " + out;
}

std::string pg_cluster::start() {
  bin_ = find_bin();
  if (bin_.empty()) return "no PostgreSQL server under " + std::string(pg_lib_root) + " (tools/setup installs it)";
  char tmpl[] = "/tmp/kiv_pg_XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return "cannot make a scratch directory";
  dir_ = tmpl;
  if (::geteuid() == 0) {
    const passwd* pw = ::getpwnam(server_user);
    if (pw == nullptr) return "no system user " + std::string(server_user) + " to run the server as";
    if (::chown(dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0) return "cannot hand the scratch directory over";
  }
  const std::string data = (dir_ / "data").string();
  std::string failed = run(shell_quote((bin_ / "initdb").string()) + " -D " + shell_quote(data) +
                           " -U postgres -A trust --no-sync --no-instructions -E UTF8 --locale=C");
  if (!failed.empty()) return failed;
  const std::string options = "-k " + dir_.string() + " -c listen_addresses='' -F -c fsync=off";
  failed = run(shell_quote((bin_ / "pg_ctl").string()) + " -D " + shell_quote(data) + " -l " +
               shell_quote((dir_ / "log").string()) + " -w -s -o " + shell_quote(options) + " start");
  if (!failed.empty()) return failed;
  running_ = true;
  conninfo_ = "host=" + dir_.string() + " dbname=postgres user=postgres";
  return {};
}

std::string pg_cluster::new_database(const std::string& name) {
  const std::string failed = run(shell_quote((bin_ / "createdb").string()) + " -h " + shell_quote(dir_.string()) +
                                 " -U postgres " + shell_quote(name));
  if (!failed.empty()) return {};
  return "host=" + dir_.string() + " dbname=" + name + " user=postgres";
}

pg_cluster::~pg_cluster() {
  if (running_)
    run(shell_quote((bin_ / "pg_ctl").string()) + " -D " + shell_quote((dir_ / "data").string()) +
        " -s -m immediate stop");
  std::error_code ec;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

}  // namespace kivtest
