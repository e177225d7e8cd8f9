// The headless command: corvane-batch -o DIR -c CODEC [options] FILE|FOLDER...
// Ctrl-C, a termination request, a closed terminal (SIGHUP) and SIGQUIT stop the batch cleanly:
// running files are abandoned and their temporary files removed, and the exit status is 128
// and the signal; a second signal ends the process at once. A closed standard output or error
// is a write error, not the end of the batch: SIGPIPE is ignored.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "app/BatchCommand.h"

namespace {

std::atomic<bool> Stop{false};
volatile sig_atomic_t StopSignal = 0;
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler sets it");

void OnStopSignal(int ASignal) {
  StopSignal = ASignal;
  Stop.store(true);
}

}  // namespace

int main(int argc, char** argv) {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int stop : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
    sigaction(stop, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const char* term = std::getenv("TERM");
  const bool terminal = isatty(STDERR_FILENO) == 1;
  const bool colour = terminal && !std::getenv("NO_COLOR") && term && std::strcmp(term, "dumb");
  const TBatchConsole console{std::cout, std::cerr, terminal, colour};
  const int code = RunBatchCommand(std::vector<std::string>(argv + 1, argv + argc), console, Stop);
  // What a caller reads from standard output (the usage, the codec list) must be whole.
  errno = 0;
  std::cout.flush();
  if ((!std::cout || std::ferror(stdout)) && code == ExitSuccess) {
    std::cerr << "corvane-batch: cannot write the output"
              << (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string()) << ".\n";
    return ExitFailed;
  }
  return code == ExitInterrupted && StopSignal != 0 ? 128 + StopSignal : code;
}
