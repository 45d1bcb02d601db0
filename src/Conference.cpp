#include "Conference.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "args.h"
#include "hpt.h"

using rtptools::MinutesToMs;

bool Conference::firstTime = true;

namespace {

// Writes `content` to a fresh file beside `path` and renames it into place, so
// that a failure at any point leaves the old file whole. Returns 0 or errno.
int ReplaceFile(const std::string& path, const std::string& content) {
  // The pid keeps two runs from sharing a temporary; a leftover of ours from an
  // earlier process with the same pid is stale and may go.
  std::string tmp = path + "." + std::to_string(getpid()) + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0664);
  if (fd < 0 && errno == EEXIST && unlink(tmp.c_str()) == 0)
    fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0664);
  if (fd < 0) return errno;

  int err = 0;
  for (size_t done = 0; done < content.size() && !err;) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n > 0)
      done += static_cast<size_t>(n);
    else if (n < 0 && errno != EINTR)
      err = errno;
  }
  if (!err && fsync(fd) != 0) err = errno;
  if (close(fd) != 0 && !err) err = errno;
  if (!err && rename(tmp.c_str(), path.c_str()) != 0) err = errno;
  if (err) unlink(tmp.c_str());
  return err;
}

// The conference file: "SessionsRecorded = N", then N lines whose text after
// "= " up to the end of the line is a duration, kept exactly. Anything that
// does not fit is refused rather than guessed at.
bool ParseConference(const std::string& text, int32_t& count, std::vector<std::string>& durations) {
  static const size_t kCountKey = std::strlen("SessionsRecorded = ");
  size_t eol = text.find('\n');
  std::string first = text.substr(0, eol);
  if (first.size() <= kCountKey) return false;
  const char* p = first.c_str() + kCountKey;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p < '0' || *p > '9') return false;
  int64_t n = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    n = n * 10 + (*p - '0');
    if (n > INT32_MAX) return false;
  }
  while (*p == ' ' || *p == '\t' || *p == '\r') ++p;
  if (*p) return false;

  std::vector<std::string> read;
  size_t pos = eol == std::string::npos ? text.size() : eol + 1;
  for (int64_t i = 0; i < n; ++i) {
    if (pos >= text.size()) return false;
    eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    size_t eq = text.find('=', pos);
    if (eq >= eol) return false;
    size_t begin = eq + 1;
    if (begin < eol && text[begin] == ' ') ++begin;
    read.push_back(text.substr(begin, eol - begin));
    pos = eol + 1;
  }
  count = static_cast<int32_t>(n);
  durations.swap(read);
  return true;
}

}  // namespace

Conference::Conference(const std::string& name) : name(name), fileName(name + ".cf") {}

Conference::~Conference() {
  for (int fd : recordLocks)
    if (fd >= 0) close(fd);
}

bool Conference::ExistConference() {
  file.open(fileName, std::ios::in);
  bool exists = file.is_open();
  file.close();
  file.clear();
  return exists;
}

bool Conference::Load() {
  file >> *this;
  bool ok = !file.fail();
  file.clear();
  if (!ok) error = "Corrupt conference file " + fileName;
  return ok;
}

bool Conference::Save() {
  file << *this;
  if (!file.fail()) return true;
  int err = errno;
  file.clear();
  error = "Cannot write conference file " + fileName + ": " + std::strerror(err);
  return false;
}

bool Conference::SessionRecorded(const std::string& duration) {
  ++sessionsRecorded;
  timeRecorded.resize(static_cast<size_t>(sessionsRecorded));
  timeRecorded.back() = duration;
  return Save();
}

std::string Conference::SessionFileName(int32_t index, MediaType m) const {
  return name + "." + std::to_string(index) + "." + (m == Audio ? 'a' : 'v') + ".rtp";
}

int Conference::OpenLocked(const std::string& session) {
  const int fd = open(session.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0664);
  if (fd < 0) {
    error = "Cannot create session file " + session + ": " + std::strerror(errno);
    return -1;
  }
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  // Where locks are not supported the run goes on unguarded.
  if (fcntl(fd, F_SETLK, &lock) != 0 && (errno == EACCES || errno == EAGAIN)) {
    close(fd);
    error = "Session file " + session + " is being recorded by another run";
    return -1;
  }
  return fd;
}

std::string Conference::FileSessionToRecord(MediaType m) {
  // The run holds a lock on each session file it records until it ends, so
  // that a second run on the conference cannot empty a file being recorded.
  // A run that counted its session between our load and our lock has moved
  // the index on: load again and take the next one.
  if (recordLocks[m] >= 0) close(recordLocks[m]);  // before it could drop a new lock
  recordLocks[m] = -1;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (ExistConference() ? !Load() : !Save()) return "";
    const int32_t index = sessionsRecorded;
    std::string session = SessionFileName(index, m);
    const int fd = OpenLocked(session);
    if (fd < 0) return "";
    if (!Load()) {
      close(fd);
      return "";
    }
    if (sessionsRecorded != index) {
      close(fd);
      continue;
    }
    // Both media of a run share one index.
    MediaType other = m == Audio ? Video : Audio;
    if (recordLocks[other] >= 0 && lockedIndex != index) {
      close(fd);
      break;
    }
    if (ftruncate(fd, 0) != 0) {
      error = "Cannot create session file " + session + ": " + std::strerror(errno);
      close(fd);
      return "";
    }
    recordLocks[m] = fd;
    lockedIndex = index;
    return session;
  }
  error = "Conference file " + fileName + " is being changed by another run";
  return "";
}

std::string Conference::FileSessionToPlay(MediaType m) {
  if (!ExistConference()) return "";
  std::string session = SessionFileName(sessionsPlayed, m);
  file.open(session, std::ios::in | std::ios::binary);
  bool readable = file.is_open();
  file.close();
  file.clear();
  return readable ? session : "";
}

int Conference::ExistSessionToPlay(std::string& start) {
  if (firstTime) {
    if (!Load()) return -1;
    ManageStartPosition(this, start);
    firstTime = false;
  }
  return sessionsRecorded > sessionsPlayed ? 1 : 0;
}

std::fstream& operator<<(std::fstream& file, const Conference& c) {
  file.clear();
  std::string text = "SessionsRecorded = " + std::to_string(c.sessionsRecorded) + "\n";
  for (int32_t i = 0; i < c.sessionsRecorded; ++i)
    text += "TimeRecorded" + std::to_string(i) + " = " + c.timeRecorded[static_cast<size_t>(i)] + "\n";
  if (int err = ReplaceFile(c.fileName, text)) {
    file.setstate(std::ios::failbit);
    errno = err;
  }
  return file;
}

std::fstream& operator>>(std::fstream& file, Conference& c) {
  file.clear();
  file.open(c.fileName, std::ios::in | std::ios::binary);
  if (!file.is_open()) {
    file.setstate(std::ios::failbit);
    return file;
  }
  // Through istream::read, which turns a failing read (a directory) into
  // badbit; the buffer's own iterators would throw instead.
  std::string text;
  char chunk[4096];
  while (file.read(chunk, sizeof chunk) || file.gcount() > 0) text.append(chunk, size_t(file.gcount()));
  bool readOk = !file.bad();
  file.clear();  // the end of the file sets failbit too
  file.close();
  if (!readOk || !ParseConference(text, c.sessionsRecorded, c.timeRecorded))
    file.setstate(std::ios::failbit);
  return file;
}

void ManageStartPosition(Conference* c, std::string& start) {
  int32_t seconds = TextToInt(start.c_str());
  if (seconds == 0) return;
  // In milliseconds, as durations may have fractions of a minute; bounded
  // so that no sum of durations can overflow.
  const int64_t kLimit = int64_t{1} << 62;
  int64_t s = int64_t{seconds} * 1000;
  for (int32_t i = 0; i < c->NumSessionsRecorded(); ++i) {
    int64_t d = MinutesToMs(c->timeRecorded[static_cast<size_t>(i)].c_str());
    if (d >= s) {
      // Whole seconds, rounded down: the player starts early, never late.
      start = std::to_string(s / 1000);
      return;
    }
    s = std::min(s - d, kLimit);
    c->SessionPlayed();
  }
}
