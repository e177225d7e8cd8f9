// The headless command: corvane-batch -o DIR -c CODEC [options] FILE|FOLDER...
// Ctrl-C (or a termination request) stops the batch cleanly: running files are abandoned and
// their temporary files removed; a second Ctrl-C ends the process at once.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
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
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  const char* term = std::getenv("TERM");
  const bool terminal = isatty(STDERR_FILENO) == 1;
  const bool colour = terminal && !std::getenv("NO_COLOR") && term && std::strcmp(term, "dumb");
  const TBatchConsole console{std::cout, std::cerr, terminal, colour};
  const int code = RunBatchCommand(std::vector<std::string>(argv + 1, argv + argc), console, Stop);
  std::cout.flush();
  return code == ExitInterrupted && StopSignal != 0 ? 128 + StopSignal : code;
}
