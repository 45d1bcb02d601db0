#ifndef RTPTOOLS_STDFDS_H
#define RTPTOOLS_STDFDS_H

namespace rtptools {

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed, so that
// no file or socket opened later takes their place and catches stray output.
// *stderrClosed, if given, tells whether descriptor 2 was one of them.
// Returns false if that fails.
bool EnsureStdFds(bool* stderrClosed = nullptr);

}  // namespace rtptools

#endif
