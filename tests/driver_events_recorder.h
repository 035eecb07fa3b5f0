// CDriverEventsRecorder: the IDriverEvents a driver test gives to Start. It
// keeps what the driver delivers, on the driver's threads, and lets the test
// wait (at most 10 s) until enough has come.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "server/drivers/sms_driver.h"

namespace TestSupport {

struct CDriverEventsRecorder : Norvale::IDriverEvents {
  void OnMessageReceived(Norvale::CIncomingSms m) override {
    std::lock_guard g(lock);
    messages.push_back(std::move(m));
    changed.notify_all();
  }
  void OnDeliveryReport(Norvale::CDeliveryReport r) override {
    std::lock_guard g(lock);
    reports.push_back(std::move(r));
    changed.notify_all();
  }
  bool WaitFor(size_t nMessages, size_t nReports) {
    std::unique_lock l(lock);
    return changed.wait_for(l, std::chrono::seconds(10),
                            [&] { return messages.size() >= nMessages && reports.size() >= nReports; });
  }
  std::mutex lock;
  std::condition_variable changed;
  std::vector<Norvale::CIncomingSms> messages;
  std::vector<Norvale::CDeliveryReport> reports;
};

}  // namespace TestSupport
