// A fresh temporary directory that the test works in: the process's working
// directory moves there for the test's life, since the launcher resolves its
// names ("data.idx", "patch.hpl", "./Lumenfall.ini") against it.
#pragma once

#include <string>

class TempWorkDir {
 public:
  TempWorkDir();
  ~TempWorkDir();
  TempWorkDir(const TempWorkDir&) = delete;
  TempWorkDir& operator=(const TempWorkDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string previous_;
};

// Small file helpers for tests.
std::string readWholeFile(const std::string& path);
void writeWholeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
