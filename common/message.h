// How the tools speak: one line per message on standard error, headed by the
// tool's name. confrec starts the tools with standard error closed; a tool
// that finds it so sends its messages to the system log as well, so that the
// reason for a failure is not lost.
#ifndef RTPTOOLS_MESSAGE_H
#define RTPTOOLS_MESSAGE_H

#include <string>

namespace rtptools {

// The first step of every tool: makes descriptors 0 to 2 safe (see
// EnsureStdFds) and chooses where messages go. `name` must live as long as
// the process. False when the descriptors cannot be made safe.
bool StartTool(const char* name);

// Says `message`.
void Say(const std::string& message);
// Says `message` and returns `status`.
int Fail(int status, const std::string& message);
// The same, and for EX_USAGE prints `usage` after it, as Usage does.
int Fail(int status, const std::string& message, const char* usage);
// Says `message` unless it is empty, then prints `usage` to standard error;
// returns EX_USAGE.
int Usage(const char* usage, const std::string& message);
// What getopt found wrong with the option it returned as '?' or ':'. The
// option strings start with ':', so getopt itself says nothing: the tool
// says it, and the system log gets it too.
std::string BadOption(int opt, char** argv);
// The end of every tool's option loop, for what its own cases do not take:
// -h prints `usage` to standard output (*status 0), anything else is a bad
// option (*status EX_USAGE). Returns false: the run ends here.
bool OtherOption(int opt, char** argv, const char* usage, int* status);

}  // namespace rtptools

#endif
