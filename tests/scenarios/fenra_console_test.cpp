// The fenra executable on a console: a new machine is registered, Ctrl-C
// asks for the stop and a second Ctrl-C ends the process at once.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support/test_machine.h"

namespace fenra {
namespace {

// fenra on a new machine, its standard error read line by line.
class ConsoleProcess {
 public:
  explicit ConsoleProcess(const std::filesystem::path& machine) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(pipe_ends[1], STDERR_FILENO);
      close(pipe_ends[0]);
      execl(FENRA_EXECUTABLE, FENRA_EXECUTABLE, "--machine", machine.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(pipe_ends[1]);
    stderr_ = pipe_ends[0];
  }
  ~ConsoleProcess() {
    if (pid_ > 0 && !ended_) {
      kill(pid_, SIGKILL);
      Wait();
    }
    if (stderr_ >= 0) close(stderr_);
  }

  // Reads standard error until a line that begins with `prefix`; false
  // when the process ends or stays silent for 20 s first.
  bool AwaitLine(const std::string& prefix) {
    for (;;) {
      for (size_t end; (end = buffer_.find('\n')) != std::string::npos;) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        if (line.starts_with(prefix)) return true;
      }
      pollfd readable{stderr_, POLLIN, 0};
      char chunk[256];
      ssize_t got = poll(&readable, 1, 20000) == 1 ? read(stderr_, chunk, sizeof(chunk)) : 0;
      if (got <= 0) return false;
      buffer_.append(chunk, static_cast<size_t>(got));
    }
  }
  void Signal(int signal) { kill(pid_, signal); }
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    ended_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int stderr_ = -1;
  bool ended_ = false;
  std::string buffer_;
};

TEST(FenraConsoleTest, ASecondCtrlCEndsTheProcessAtOnce) {
  testing::ScratchDir scratch;
  ConsoleProcess fenra(scratch.path() / "machine");
  ASSERT_TRUE(fenra.AwaitLine("fenra: registered FENRA as a service"));
  fenra.Signal(SIGINT);
  ASSERT_TRUE(fenra.AwaitLine("fenra: stopping"));
  fenra.Signal(SIGINT);
  EXPECT_EQ(fenra.Wait(), 130);
}

}  // namespace
}  // namespace fenra
