// Command line, the recording and playback drivers, and child supervision.
#ifndef CONFREC_MAIN_H
#define CONFREC_MAIN_H

#include <sys/types.h>

#include <string>

#include "Conference.h"

void usage();

// Reports a failed process call with its call site and errno, then aborts.
[[noreturn]] void Panic(const char* file, int line);
#define PANIC() Panic(__FILE__, __LINE__)

// Waits for any one child and reports an abnormal end. Returns its pid.
pid_t CheckChildren();

// Records one session: one recorder per medium whose host is not null.
// Exits with status 1 on a user error.
void Record(const char* audioHost, const std::string& audioPort, const char* videoHost,
            const std::string& videoPort, Conference* conf, const std::string& duration);

// Plays every session left after the start offset `start`, in order.
// Exits with status 1 on a user error.
void Play(const char* audioHost, const std::string& audioPort, const std::string& audioTtl,
          const char* videoHost, const std::string& videoPort, const std::string& videoTtl,
          Conference* conf, std::string start);

// Start a recorder (player) on an existing session file and return its pid
// without waiting for it.
pid_t CreateChildRecord(const char* host, const std::string& port, const std::string& file,
                        const std::string& duration);
pid_t CreateChildPlay(const char* host, const std::string& port, const std::string& ttl,
                      const std::string& file, const std::string& start);

#endif
