#include "support/reset_on_reuse_server.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "support/unix_programs.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;
#endif

#ifndef VLM_RESET_ON_REUSE_SERVER
#error "VLM_RESET_ON_REUSE_SERVER: the path of reset_on_reuse_server.py"
#endif

namespace fs = std::filesystem;

namespace {

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string python() {
  const char* custom = std::getenv("VLM_PYTHON");
  return custom && *custom ? custom : "/usr/bin/python3";
}

// The two ports the server wrote once it listened, or false while it has not.
bool readPorts(const std::string& directory, int* http, int* control) {
  std::ifstream in(fs::path(directory) / "ports");
  return static_cast<bool>(in >> *http >> *control);
}

}  // namespace

ResetOnReuseServer::ResetOnReuseServer(std::string body) : body_(std::move(body)) {
  directory_ = freshSharedDirectory("vlm-reset-server");
  fs::create_directories(directory_);
  std::ofstream out(fs::path(directory_) / "body", std::ios::binary | std::ios::trunc);
  out.write(body_.data(), static_cast<std::streamsize>(body_.size()));
}

ResetOnReuseServer::~ResetOnReuseServer() {
  stop();
  std::error_code ignored;
  fs::remove_all(directory_, ignored);
}

bool ResetOnReuseServer::start() {
  std::string unixDirectory = unixPathOf(directory_);
#if defined(_WIN32)
  if (!startUnixProgram(python() + " " + VLM_RESET_ON_REUSE_SERVER + " " + unixDirectory)) {
    why_ = "cannot start " + python();
    return false;
  }
#else
  std::vector<std::string> words = {python(), VLM_RESET_ON_REUSE_SERVER, unixDirectory};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The server must not hold the test's output open (CTest waits for it).
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t child = -1;
  int failed = posix_spawn(&child, words[0].c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    why_ = "cannot start " + python();
    return false;
  }
  pid_ = child;
#endif
  int control = 0;
  for (int i = 0; i < 400 && !readPorts(directory_, &port_, &control); ++i) sleepMs(25);
  if (port_ == 0 || !control_.open(control)) {
    why_ = "the server did not come up; see " + directory_ + "/server.log";
    stop();
    return false;
  }
  return true;
}

void ResetOnReuseServer::stop() {
  control_.close();
  if (port_ != 0) {
    for (int i = 0; i < 200 && loopbackPortAccepts(port_); ++i) sleepMs(25);
  }
#if !defined(_WIN32)
  if (pid_ > 0) {
    bool ended = false;
    for (int i = 0; i < 200 && !ended; ++i) {
      ended = ::waitpid(static_cast<pid_t>(pid_), nullptr, WNOHANG) == pid_;
      if (!ended) sleepMs(25);
    }
    if (!ended) {
      ::kill(static_cast<pid_t>(pid_), SIGKILL);
      ::waitpid(static_cast<pid_t>(pid_), nullptr, 0);
    }
    pid_ = -1;
  }
#endif
}

std::string ResetOnReuseServer::baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

ResetOnReuseTally ResetOnReuseServer::tally() const {
  ResetOnReuseTally tally;
  std::ifstream in(fs::path(directory_) / "events");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string connection, request, action, header;
    if (!(words >> connection >> request >> action >> header)) continue;
    ++tally.requests;
    if (action == "answered") ++tally.answered;
    if (action == "closed") ++tally.closed;
    if (action == "reset") ++tally.reset;
    for (char& c : header) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (header == "close") ++tally.askedToClose;
  }
  return tally;
}
