#include "tests/support/nginx_server.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "support/unix_programs.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#include <csignal>
#endif

namespace fs = std::filesystem;

namespace {

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string nginxBinary() {
  const char* custom = std::getenv("VLM_NGINX");
  return custom && *custom ? custom : "/usr/sbin/nginx";
}

}  // namespace

NginxServer::NginxServer(NginxOptions options) : options_(std::move(options)) {
  prefix_ = freshSharedDirectory("vlm-nginx");
  unixPrefix_ = unixPathOf(prefix_);
  documentRoot_ = (fs::path(prefix_) / "www").string();
  fs::create_directories(fs::path(prefix_) / "www");
  fs::create_directories(fs::path(prefix_) / "temp");
}

NginxServer::~NginxServer() {
  stop();
  std::error_code ignored;
  fs::remove_all(prefix_, ignored);
}

std::string NginxServer::baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

void NginxServer::writeConfig() {
  const std::string& p = unixPrefix_;
  std::ofstream conf(fs::path(prefix_) / "nginx.conf", std::ios::binary | std::ios::trunc);
#if defined(_WIN32)
  conf << "daemon on;\n";
#else
  conf << "daemon off;\n";
#endif
  conf << "master_process off;\n"
       << "pid " << p << "/nginx.pid;\n"
       << "error_log " << p << "/error.log warn;\n"
       << "events { worker_connections 64; }\n"
       << "http {\n"
       << "  access_log " << p << "/access.log;\n"
       << "  client_body_temp_path " << p << "/temp/body;\n"
       << "  proxy_temp_path " << p << "/temp/proxy;\n"
       << "  fastcgi_temp_path " << p << "/temp/fastcgi;\n"
       << "  uwsgi_temp_path " << p << "/temp/uwsgi;\n"
       << "  scgi_temp_path " << p << "/temp/scgi;\n"
       << "  default_type application/octet-stream;\n"
       << "  sendfile on;\n"
       << "  server {\n"
       << "    listen 127.0.0.1:" << port_ << ";\n"
       << "    root " << p << "/www;\n";
  if (options_.limitRate) conf << "    limit_rate " << options_.limitRate << ";\n";
  conf << "    " << options_.extraServerConfig << "\n"
       << "  }\n"
       << "}\n";
}

bool NginxServer::start() {
  if (running_) return true;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (startOnce()) return true;
  }
  return false;
}

#if defined(_WIN32)

// Runs a shell script in the prefix through Wine's start of Unix programs.
static bool runScript(const std::string& prefix, const std::string& name, const std::string& body) {
  std::string path = prefix + "\\" + name;
  {
    std::ofstream script(path, std::ios::binary | std::ios::trunc);
    script << "#!/bin/sh\n" << body << "\n";
  }
  return startUnixProgram("/bin/sh " + unixPathOf(path));
}

bool NginxServer::startOnce() {
  port_ = freeLoopbackPort();
  writeConfig();
  std::error_code ignored;
  fs::remove(fs::path(prefix_) / "nginx.pid", ignored);
  std::string p = unixPrefix_;
  if (!runScript(prefix_, "start.sh",
                 "exec " + nginxBinary() + " -p " + p + " -c " + p + "/nginx.conf -e " + p + "/error.log")) {
    why_ = "cannot run /bin/sh";
    return false;
  }
  for (int i = 0; i < 200; ++i) {
    if (loopbackPortAccepts(port_) && fs::exists(fs::path(prefix_) / "nginx.pid")) {
      running_ = true;
      return true;
    }
    sleepMs(50);
  }
  why_ = "nginx did not come up; see " + prefix_ + "\\error.log";
  return false;
}

void NginxServer::signal(const char* name) {
  if (!running_) return;
  runScript(prefix_, std::string("signal-") + name + ".sh",
            std::string("kill -") + name + " $(cat " + unixPrefix_ + "/nginx.pid)");
}

void NginxServer::stop() {
  if (!running_) return;
  signal("CONT");
  sleepMs(100);
  signal("TERM");
  for (int i = 0; i < 100 && loopbackPortAccepts(port_); ++i) sleepMs(50);
  if (loopbackPortAccepts(port_)) signal("KILL");
  for (int i = 0; i < 100 && loopbackPortAccepts(port_); ++i) sleepMs(50);
  running_ = false;
}

void NginxServer::kill() {
  if (!running_) return;
  signal("KILL");
  for (int i = 0; i < 100 && loopbackPortAccepts(port_); ++i) sleepMs(50);
  running_ = false;
}

void NginxServer::pause() {
  signal("STOP");
  sleepMs(300);  // the script runs on its own; give the signal time to land
}

void NginxServer::resume() {
  signal("CONT");
  sleepMs(300);
}

#else

bool NginxServer::startOnce() {
  port_ = freeLoopbackPort();
  writeConfig();
  std::string binary = nginxBinary();
  std::string conf = prefix_ + "/nginx.conf";
  std::string errorLog = prefix_ + "/error.log";
  // posix_spawn rather than fork: the test process has other threads, and
  // a forked child must not touch locks they might hold.
  std::vector<std::string> words = {binary, "-p", prefix_, "-c", conf, "-e", errorLog};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // nginx must not hold the test's output open: should the test die, CTest
  // would otherwise wait for it to close.
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t child = -1;
  int failed = posix_spawn(&child, binary.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    why_ = "cannot start " + binary;
    return false;
  }
  pid_ = child;
  for (int i = 0; i < 200; ++i) {
    int status;
    if (::waitpid(child, &status, WNOHANG) == child) {
      pid_ = -1;
      why_ = "nginx ended at start; see " + errorLog;
      return false;
    }
    if (loopbackPortAccepts(port_)) {
      running_ = true;
      return true;
    }
    sleepMs(25);
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  pid_ = -1;
  why_ = "nginx did not come up; see " + errorLog;
  return false;
}

void NginxServer::signal(const char* name) {
  if (pid_ <= 0) return;
  int number = std::string(name) == "STOP" ? SIGSTOP
               : std::string(name) == "CONT" ? SIGCONT
               : std::string(name) == "KILL" ? SIGKILL
                                             : SIGTERM;
  ::kill(static_cast<pid_t>(pid_), number);
}

// Waits for the child to end, at most limitMs; true when it did.
static bool reap(long pid, int limitMs) {
  for (int waited = 0; waited <= limitMs; waited += 10) {
    if (::waitpid(static_cast<pid_t>(pid), nullptr, WNOHANG) == pid) return true;
    sleepMs(10);
  }
  return false;
}

void NginxServer::stop() {
  if (pid_ <= 0) return;
  signal("CONT");
  signal("TERM");
  if (!reap(pid_, 5000)) {
    signal("KILL");
    ::waitpid(static_cast<pid_t>(pid_), nullptr, 0);
  }
  pid_ = -1;
  running_ = false;
}

void NginxServer::kill() {
  if (pid_ <= 0) return;
  signal("KILL");
  ::waitpid(static_cast<pid_t>(pid_), nullptr, 0);
  pid_ = -1;
  running_ = false;
}

void NginxServer::pause() { signal("STOP"); }
void NginxServer::resume() { signal("CONT"); }

#endif
