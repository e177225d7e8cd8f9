#pragma once

// What an unprivileged user meets: the tests run as root on CI, where permissions do not
// hold, so the cases that need them run as the user nobody.

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

// Runs ACall in a child process as nobody (as the user running the tests when that is not
// root) and answers the text it answered; the child's failure to switch user answers so.
inline std::string AsNobody(const std::function<std::string()>& ACall) {
  int pipe[2];
  if (::pipe(pipe) != 0) return "(no pipe)";
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe[0]);
    std::string text = "(cannot become nobody)";
    if (::geteuid() != 0 ||
        (::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 &&
         ::setresuid(65534, 65534, 65534) == 0))
      text = ACall();
    (void)!::write(pipe[1], text.data(), text.size());
    ::_exit(0);
  }
  ::close(pipe[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<size_t>(n));
  ::close(pipe[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return text;
}

// The start of a shell command line that runs the rest as nobody.
inline std::string NobodyPrefix() {
  return ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
}
