// A conference: its recorded sessions, their planned durations, the
// conference file that keeps them, and the session files named after it.
#ifndef CONFREC_CONFERENCE_H
#define CONFREC_CONFERENCE_H

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

enum MediaType { Audio = 0, Video = 1 };

class Conference {
 public:
  explicit Conference(const std::string& name);
  ~Conference();
  Conference(const Conference&) = delete;
  Conference& operator=(const Conference&) = delete;

  // True when the conference file can be opened for reading.
  bool ExistConference();

  void SessionPlayed() { ++sessionsPlayed; }
  int32_t NumSessionsRecorded() const { return sessionsRecorded; }
  const std::string& Name() const { return name; }
  const std::string& FileName() const { return fileName; }

  // Counts one more session of the given duration and saves the conference
  // file. False when the file could not be saved; Error() says why.
  bool SessionRecorded(const std::string& duration);

  // The session file to record medium `m` into, created empty (an older one
  // is emptied). Loads the conference file first, or creates it when it is
  // missing. Empty when that fails, or when another run is recording into
  // that file; Error() says why. The file stays locked against other runs
  // until the conference is destroyed.
  std::string FileSessionToRecord(MediaType m);

  // The session file of medium `m` for the session due now, if it can be
  // opened for reading; empty otherwise.
  std::string FileSessionToPlay(MediaType m);

  // Whether a session remains to be played. The first call in the process
  // loads the conference file and applies the start offset `start`, which it
  // may rewrite. Negative when the conference file does not parse.
  int ExistSessionToPlay(std::string& start);

  // The last failure, as a line for the user.
  const std::string& Error() const { return error; }

  // The duration texts as loaded, one per recorded session.
  const std::vector<std::string>& TimesRecorded() const { return timeRecorded; }
  std::string SessionFileName(int32_t index, MediaType m) const;

 private:
  bool Load();
  bool Save();
  // The session file, created if missing, under a write lock that keeps
  // other runs from emptying it; -1 with error set when it cannot be.
  int OpenLocked(const std::string& session);

  int32_t sessionsRecorded = 0;
  int32_t sessionsPlayed = 0;
  std::string name;
  std::fstream file;
  std::string fileName;
  std::vector<std::string> timeRecorded;
  std::string error;
  int recordLocks[2] = {-1, -1};  // per medium, open while recording
  int32_t lockedIndex = -1;

  static bool firstTime;

  friend std::fstream& operator<<(std::fstream& file, const Conference& c);
  friend std::fstream& operator>>(std::fstream& file, Conference& c);
  friend void ManageStartPosition(Conference* c, std::string& start);
};

// Save and load the conference file. Each opens the file itself and leaves
// the stream closed. The writer replaces the file atomically; on failure it
// sets failbit and leaves errno as the failing call set it. The reader sets
// failbit when the file cannot be read or does not parse, and then leaves the
// conference as it was.
std::fstream& operator<<(std::fstream& file, const Conference& c);
std::fstream& operator>>(std::fstream& file, Conference& c);

// Skips the sessions that end before the offset `start` (seconds across the
// whole conference) and turns `start` into the offset within the first
// session left. An offset of 0 leaves `start` untouched.
void ManageStartPosition(Conference* c, std::string& start);

#endif
