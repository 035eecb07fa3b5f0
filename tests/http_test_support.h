// velquor-http as a process for tests: a fresh queue database (SQLite or
// PostgreSQL) configured under the test's NORVALE_ROOT, an account "shop",
// handsets 1 and 2 declared, the daemon on a free loopback port, and requests
// made with curl.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "accounts/api_account_store.h"
#include "child_process.h"
#include "client_test_support.h"
#include "config/config_reg.h"
#include "config/handset_values.h"
#include "queue_test_support.h"
#include "test_support.h"

namespace TestSupport {

struct HttpReply {
  int code = 0;  // -1: no answer (curl failed)
  std::string body;
  std::map<std::string, std::string> headers;  // names in lower case
};

// A value of the product's configuration.
inline void SetVelquorValue(const std::string& name, const std::string& value,
                            const std::string& key = "SOFTWARE\\Norvale\\Velquor") {
  bool readOnly = false;
  const auto handle = Norvale::RUOpenKeyWithBestPermisions(Norvale::OS::HKEY_LOCAL_MACHINE, key, &readOnly, false);
  Norvale::RUSetValue(handle, name, value, false);
  Norvale::OS::RegCloseKey(handle);
}

class HttpDaemon {
 public:
  // The queue database and the account "shop"; the daemon starts with Start().
  explicit HttpDaemon(Backend backend) : m_Queues(std::make_unique<ConfiguredQueues>(backend)) {
    Norvale::CApiAccount account;
    account.sName = "shop";
    m_sKey = Norvale::CApiAccountStore().Add(account);
    for (const int handset : {1, 2}) SetVelquorValue("Driver", "simulator", Norvale::HandsetKeyPath(handset));
  }

  // Starts (or starts again) the daemon; false with the reason in Output().
  bool Start() {
    m_Process =
        std::make_unique<ChildProcess>(std::vector<std::string>{VELQUOR_HTTP, "--listen", "127.0.0.1", "--port", "0"});
    const std::string marker = "listening on 127.0.0.1:";
    if (!m_Process->WaitForOutput(marker, std::chrono::seconds(20))) return false;
    const std::string output = m_Process->Output();
    m_sBase = "http://127.0.0.1:" + std::to_string(std::stoi(output.substr(output.find(marker) + marker.size())));
    return true;
  }
  ChildProcess& Process() { return *m_Process; }
  std::string Output() const { return m_Process ? m_Process->Output() : ""; }
  const std::string& Key() const { return m_sKey; }
  const TestDatabase& Db() const { return m_Queues->db; }

  // One request with curl, authenticated with `key` (the account's when
  // empty). The body goes from a file, so that no byte of it meets the shell;
  // `headers` are more "Name: value" lines.
  HttpReply Request(const std::string& method, const std::string& path, const std::string* body = nullptr,
                    const std::vector<std::string>& headers = {}, const std::string& key = "") const {
    const std::string tag = NextTag();
    std::string options = "-H 'Authorization: Bearer " + (key.empty() ? m_sKey : key) + "' -X " + method;
    if (body != nullptr) {
      std::ofstream(tag + ".body", std::ios::binary) << *body;
      options += " -H 'Content-Type: application/json' --data-binary @" + tag + ".body";
    }
    for (const std::string& header : headers) options += " -H '" + header + "'";
    HttpReply reply = Curl(options, path);
    std::remove((tag + ".body").c_str());
    return reply;
  }

  // A request with curl and these options (quoted for the shell by the
  // caller), the answer's header fields read back.
  HttpReply Curl(const std::string& options, const std::string& path) const {
    const std::string tag = NextTag();
    const CommandResult result = RunCommand("curl -s -m 60 -o - -w '\\n%{http_code}' -D " + tag + ".headers " +
                                            options + " '" + m_sBase + path + "'");
    HttpReply reply;
    const std::size_t lastLine = result.out.rfind('\n');
    if (result.status != 0 || lastLine == std::string::npos) return {-1, result.out, {}};
    reply.body = result.out.substr(0, lastLine);
    reply.code = std::stoi(result.out.substr(lastLine + 1));
    std::ifstream headerFile(tag + ".headers");
    for (std::string line; std::getline(headerFile, line);) {
      const std::size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string name = line.substr(0, colon);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      value.erase(value.find_last_not_of("\r\n ") + 1);
      reply.headers[name] = value;
    }
    std::remove((tag + ".headers").c_str());
    return reply;
  }
  // A file name of the test's root for one request's files.
  static std::string NextTag() {
    static std::atomic<int> counter{0};
    return Root() + "/http-" + std::to_string(counter++);
  }

  long Count(const std::string& table, const std::string& where = "") const {
    return Db().Value("SELECT COUNT(*) AS N FROM " + table + (where.empty() ? "" : " WHERE " + where), "N").ToLong();
  }

 private:
  std::unique_ptr<ConfiguredQueues> m_Queues;
  std::unique_ptr<ChildProcess> m_Process;
  std::string m_sKey;
  std::string m_sBase;
};

#if defined(VELQUOR_BASH_COMPLETION) && defined(VELQUOR_CLI)
// What the bash completion offers for `velquor WORDS` (the last word is the
// one being completed), as one line.
inline std::string CompleteVelquor(const std::string& words) {
  const std::string script = std::string("_init_completion() { words=(\"${COMP_WORDS[@]}\"); cword=$COMP_CWORD; ") +
                             "cur=${words[cword]}; prev=${words[cword-1]}; }; _filedir() { :; }; source " +
                             VELQUOR_BASH_COMPLETION + "; COMP_WORDS=(" + VELQUOR_CLI + " " + words +
                             "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _velquor; " + "echo \"${COMPREPLY[*]}\"";
  const std::string file = Root() + "/complete.sh";
  std::ofstream(file) << script;
  return RunCommand("bash " + file).out;
}
#endif

}  // namespace TestSupport
