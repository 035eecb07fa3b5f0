// SignalDescriptor: SIGINT and SIGTERM as a readable descriptor, so that a
// command can sleep in poll(2) until either a signal or other work arrives,
// instead of waking up to look at a flag.
#pragma once

#include <signal.h>

namespace VelquorTool {

class SignalDescriptor {
 public:
  // Blocks SIGINT and SIGTERM on the calling thread (threads it starts later
  // inherit the mask, so call this before any) and opens a signalfd for
  // them. Raises std::system_error when the descriptor cannot be made.
  SignalDescriptor();
  // Closes the descriptor and restores the previous mask.
  ~SignalDescriptor();
  SignalDescriptor(const SignalDescriptor&) = delete;
  SignalDescriptor& operator=(const SignalDescriptor&) = delete;

  int Descriptor() const { return m_fd; }
  // Takes one waiting signal; 0 when none waits.
  int Take();

 private:
  sigset_t m_previous;
  int m_fd = -1;
};

}  // namespace VelquorTool
