#include "bench_support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace korvane::bench {

double NowSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double Median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const std::size_t middle = samples.size() / 2;
  return samples.size() % 2 == 1 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

long StatusKilobytes(const char* field) {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long value = -1;
  const std::size_t length = std::strlen(field);
  while (std::fgets(line, sizeof line, status) != nullptr)
    if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
      std::sscanf(line + length + 1, "%ld", &value);
      break;
    }
  std::fclose(status);
  return value;
}

ScratchFolder::ScratchFolder() {
  char pattern[] = "/tmp/korvane-bench-XXXXXX";
  if (mkdtemp(pattern) != nullptr)
    path_ = pattern;
  else
    std::perror("mkdtemp");
}

ScratchFolder::~ScratchFolder() {
  if (!path_.empty()) std::filesystem::remove_all(path_);
}

bool RunProgram(const std::string& program, const std::vector<std::string>& args, std::string* output,
                long* maxRssKb, double* seconds) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return false;
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const double start = NowSeconds();
  const pid_t child = fork();
  if (child == 0) {
    if (output != nullptr) {
      dup2(pipeFds[1], STDOUT_FILENO);
    } else {
      const int null = open("/dev/null", O_WRONLY);
      if (null >= 0) dup2(null, STDOUT_FILENO);
    }
    close(pipeFds[0]);
    close(pipeFds[1]);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  std::string discarded;
  std::string* text = output != nullptr ? output : &discarded;
  text->clear();
  char buffer[256];
  for (ssize_t count; (count = read(pipeFds[0], buffer, sizeof buffer)) > 0;) text->append(buffer, count);
  close(pipeFds[0]);
  int status = 0;
  rusage usage{};
  if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return false;
  if (seconds != nullptr) *seconds = NowSeconds() - start;
  *maxRssKb = usage.ru_maxrss;
  return true;
}

}  // namespace korvane::bench
