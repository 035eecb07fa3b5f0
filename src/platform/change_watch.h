// Waiting for changes made by others: files written in a directory
// (DirectoryWatch), and a signal that another thread raises to end such a
// wait at once (WakeSignal); WaitReadable waits for either, or for a
// database listener's descriptor (database.h), within a bound.
//
// Each object raises _com_error when the system refuses it (out of watches
// or descriptors: HRESULT_FROM_WIN32 of the matching code). Descriptors are
// closed on exec and by the destructors.
#pragma once

#include <string>
#include <vector>

#include "platform/database.h"

namespace Norvale::OS {

// An event that one thread raises and another waits for through its
// descriptor; raises before the wait are kept (not counted) until Clear.
class WakeSignal {
 public:
  WakeSignal();
  ~WakeSignal();
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  void Raise();  // any thread
  void Clear();
  int Descriptor() const { return m_fd; }

 private:
  int m_fd = -1;
};

// Changes to some files of one directory: a file named in `names` created,
// written, closed after writing, moved into the directory or deleted. The
// files need not exist yet; the directory must.
class DirectoryWatch {
 public:
  DirectoryWatch(const std::string& directory, std::vector<std::string> names);
  ~DirectoryWatch();
  DirectoryWatch(const DirectoryWatch&) = delete;
  DirectoryWatch& operator=(const DirectoryWatch&) = delete;

  // Readable when changes wait to be taken.
  int Descriptor() const { return m_fd; }
  // Reads every change that waits, without waiting; true when one concerned
  // a watched name (or changes were lost to an overflow, which counts as
  // one).
  bool TakeChanges();

 private:
  int m_fd = -1;
  std::vector<std::string> m_Names;
};

// Waits until one of `descriptors` is readable or `until` passes; returns,
// for each, whether it is readable (an error or hang-up counts). An
// interrupted wait goes on.
std::vector<bool> WaitReadable(const std::vector<int>& descriptors, DatabaseDeadline until);

}  // namespace Norvale::OS
