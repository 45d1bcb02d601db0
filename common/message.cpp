#include "message.h"

#include <getopt.h>
#include <sysexits.h>
#include <syslog.h>

#include <cstdio>

#include "stdfds.h"

namespace rtptools {
namespace {

const char* gName = "?";
bool gToSyslog = false;

}  // namespace

bool StartTool(const char* name) {
  gName = name;
  bool stderrClosed = false;
  if (!EnsureStdFds(&stderrClosed)) return false;
  if (stderrClosed) {
    openlog(name, LOG_PID, LOG_USER);
    gToSyslog = true;
  }
  return true;
}

void Say(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", gName, message.c_str());
  std::fflush(stderr);
  if (gToSyslog) syslog(LOG_ERR, "%s", message.c_str());
}

int Fail(int status, const std::string& message) {
  Say(message);
  return status;
}

int Fail(int status, const std::string& message, const char* usage) {
  return status == EX_USAGE ? Usage(usage, message) : Fail(status, message);
}

int Usage(const char* usage, const std::string& message) {
  if (!message.empty()) Say(message);
  std::fputs(usage, stderr);
  return EX_USAGE;
}

std::string BadOption(int opt, char** argv) {
  // optopt is 0 for an unknown long option; getopt has moved past it.
  std::string option = optopt ? std::string("-") + char(optopt) : std::string(argv[optind - 1]);
  return opt == ':' ? "option " + option + " needs a value" : "unknown option " + option;
}

bool OtherOption(int opt, char** argv, const char* usage, int* status) {
  if (opt == 'h') {
    std::fputs(usage, stdout);
    *status = 0;
  } else {
    *status = Usage(usage, BadOption(opt, argv));
  }
  return false;
}

}  // namespace rtptools
