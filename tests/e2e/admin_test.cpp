// The admin interface on the real binary: its access rules, and a client
// seen, counted and released through it.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "client/request_builder.h"
#include "client/tally_client.h"
#include "protocol/protocol_constants.h"
#include "tests/support/admin_http.h"
#include "tests/support/daemon_process.h"
#include "tests/support/root_sandbox.h"

namespace {

using namespace tally_test;

constexpr char kToken[] = "e2e-admin-token";

// What `promtool check metrics` finds wrong with `page`; "" when nothing.
std::string Promtool(std::string const& page) {
  TempDir dir;
  std::string const file = dir.path() + "/metrics";
  std::FILE* out = std::fopen(file.c_str(), "w");
  if (out == nullptr) return "cannot write " + file;
  std::fwrite(page.data(), 1, page.size(), out);
  std::fclose(out);
  std::string const command = "promtool check metrics < " + file + " 2>&1; echo \"exit $?\"";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "cannot run promtool";
  std::string output;
  char buffer[512];
  while (std::size_t const got = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, got);
  pclose(pipe);
  return output == "exit 0\n" ? "" : output;
}

class AdminTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to write under /etc/opt";
    port_ = FreeTcpPort();
    adminPort_ = FreeTcpPort();
    host_ = "Host: 127.0.0.1:" + std::to_string(adminPort_) + "\r\n";
    auth_ = host_ + "Authorization: Bearer " + kToken + "\r\n";
  }

  void StartDaemon(std::string const& listen, bool token) {
    std::string content = "[tallyd]\nadmin-listen = " + listen + "\n";
    config_ = std::make_unique<ConfigDataDir>("");
    if (token) {
      config_->WriteFile("token", std::string("  ") + kToken + "\n");
      content += "admin-token-file = " + config_->path() + "/token\n";
    }
    config_->WriteFile("tallyd.conf", content);
    daemon_ = StartStandaloneDaemon(port_, work_.path(), {"--datadir", config_->name()});
    ASSERT_NE(daemon_, nullptr);
  }

  int Command(int command, std::string const& unique, std::string const& app = "app") {
    tally::ClientOptions options;
    options.port = port_;
    options.bindAddress = "127.0.0.1";
    return tally::SendCommand(options, command, tally::kProductId, unique, app).reply.code;
  }

  void TearDown() override {
    if (daemon_ && daemon_->Running()) {
      daemon_->Signal(SIGINT);
      EXPECT_EQ(daemon_->WaitExit(), 0);
    }
  }

  unsigned short port_ = 0;
  unsigned short adminPort_ = 0;
  std::string host_;
  std::string auth_;
  TempDir work_;
  std::unique_ptr<ConfigDataDir> config_;
  std::unique_ptr<DaemonProcess> daemon_;
};

TEST_F(AdminTest, AccessRulesThenAClientListedCountedAndReleased) {
  std::string const listen = "127.0.0.1:" + std::to_string(adminPort_);
  StartDaemon(listen, true);
  ASSERT_TRUE(daemon_->WaitForLine("Admin interface on " + listen, 10s, Stream::kStdout));

  std::string const change = auth_ + "X-Tallyd-Admin: 1\r\n";
  std::tuple<char const*, char const*, std::string, int> const cases[] = {
      {"GET", "/api/v1/status", host_, 401},
      {"GET", "/", host_, 200},  // the page's files: the page asks for the token
      {"GET", "/status.js", host_, 200},
      {"GET", "/", "Host: rebound.example:" + std::to_string(adminPort_) + "\r\n", 403},
      {"GET", "/api/v1/status", host_ + "Authorization: Bearer wrong-admin-tok\r\n", 401},
      {"GET", "/api/v1/status", auth_, 200},
      {"GET", "/api/v1/status",
       "Host: localhost:" + std::to_string(adminPort_) + "\r\nAuthorization: Bearer " + kToken +
           "\r\n",
       200},
      {"GET", "/api/v1/status", "Host: rebound.example:" + std::to_string(adminPort_) +
                                    "\r\nAuthorization: Bearer " + kToken + "\r\n",
       403},
      {"DELETE", "/api/v1/clients/nobody", auth_, 403},
      {"DELETE", "/api/v1/clients/nobody", change + "Origin: http://other.example\r\n", 403},
      {"DELETE", "/api/v1/clients/nobody", change, 404},
      {"GET", "/api/v1/clients/nobody", auth_, 404},
      {"GET", "/api/v1/clients?limit=0", auth_, 400},
      {"GET", "/api/v1/history?minutes=1441", auth_, 400},
      {"GET", "/api/v1/history?step=week", auth_, 400},
      {"GET", "/api/v1/history?from=2026-12-06&to=2026-12-05", auth_, 400},
      {"GET", "/api/v1/history?from=2026-12-05&step=minute", auth_, 200},  // from memory
      {"GET", "/api/v1/events?limit=0", auth_, 400},
      {"GET", "/api/v1/events", auth_, 404},
      {"GET", "/api/v1/status", auth_ + "X-Padding: " + std::string(9000, 'p') + "\r\n", 431},
  };
  for (auto const& [method, path, headers, status] : cases) {
    EXPECT_EQ(Http(adminPort_, method, path, headers).status, status)
        << method << " " << path << "\n" << headers.substr(0, 200);
  }

  ASSERT_EQ(Command(norla::kNorlaLogin, "admin+e2e"), 200);
  HttpReply const list = Http(adminPort_, "GET", "/api/v1/clients?app=app&limit=1", auth_);
  ASSERT_EQ(list.status, 200);
  auto const clients = nlohmann::json::parse(list.body);
  ASSERT_EQ(clients["clients"].size(), 1u) << list.body;
  EXPECT_EQ(clients["clients"][0]["unique_id"], "admin+e2e");
  EXPECT_EQ(clients["clients"][0]["address"], "127.0.0.1");
  EXPECT_EQ(clients["clients"][0]["logins"], 1);
  EXPECT_FALSE(clients.contains("next"));
  std::string const metrics = Http(adminPort_, "GET", "/metrics", auth_).body;
  for (char const* line : {"\ntallyd_clients 1\n", "\ntallyd_clients_by_app{app=\"app\"} 1\n"}) {
    EXPECT_NE(metrics.find(line), std::string::npos) << line << metrics;
  }
  for (std::string name : {"tallyd_connections_total", "tallyd_request_duration_seconds_count"}) {
    std::size_t const at = metrics.find("\n" + name + " ");
    ASSERT_NE(at, std::string::npos) << name;
    EXPECT_GT(std::stoull(metrics.substr(at + name.size() + 2)), 0u) << name;
  }
  HttpReply const history = Http(adminPort_, "GET", "/api/v1/history?minutes=5", auth_);
  ASSERT_EQ(history.status, 200);
  EXPECT_TRUE(nlohmann::json::parse(history.body)["samples"].is_array()) << history.body;

  EXPECT_EQ(Http(adminPort_, "DELETE", "/api/v1/clients/admin%2Be2e", change).status, 200);
  // The recorded address alone, with the host name event lines add where it has one.
  std::string const released = "Disconnect(Admin) : 127.0.0.1";
  ASSERT_TRUE(daemon_->WaitForLine(released, 10s, Stream::kStdout));
  auto const lines = daemon_->Lines(Stream::kStdout);
  auto const line = std::find_if(lines.begin(), lines.end(), [&](std::string const& text) {
    return text.rfind(released, 0) == 0;
  });
  ASSERT_NE(line, lines.end());
  std::string rest = line->substr(released.size());
  if (rest.rfind(" (", 0) == 0) rest.erase(0, rest.find(')') + 1);
  EXPECT_EQ(rest, ", Current clients : 0") << *line;
  EXPECT_EQ(Command(norla::kNorlaExit, "admin+e2e"), 303);
  // The counters against the requests above, on a page a scraper accepts.
  std::string const scrape = Http(adminPort_, "GET", "/metrics", auth_).body;
  for (char const* line : {"\ntallyd_requests_total{command=\"LOGIN\",code=\"200\"} 1\n",
                           "\ntallyd_requests_total{command=\"EXIT\",code=\"303\"} 1\n",
                           "\ntallyd_clients 0\n", "\ntallyd_register_full 0\n"}) {
    EXPECT_NE(scrape.find(line), std::string::npos) << line << scrape;
  }
  EXPECT_EQ(scrape.find("command=\"PING\""), std::string::npos) << scrape;
  EXPECT_EQ(Promtool(scrape), "") << scrape;
  auto const status = nlohmann::json::parse(Http(adminPort_, "GET", "/api/v1/status", auth_).body);
  EXPECT_EQ(status["current_clients"], 0);
  EXPECT_EQ(status["peak_clients"], 1);
  EXPECT_EQ(status["requests_by_code"]["200"], 1);
  EXPECT_EQ(status["requests_by_code"]["303"], 1);

  // An AppID that is not UTF-8 must not spoil the pages that show it.
  ASSERT_EQ(Command(norla::kNorlaLogin, "odd", "a\xff\"b"), 200);
  EXPECT_NE(Http(adminPort_, "GET", "/metrics", auth_)
                .body.find("tallyd_clients_by_app{app=\"a\xEF\xBF\xBD\\\"b\"} 1\n"),
            std::string::npos);
  EXPECT_EQ(Http(adminPort_, "GET", "/api/v1/clients", auth_).status, 200);
}

TEST_F(AdminTest, NonLoopbackWithoutTokenStaysOffAndTheServiceRuns) {
  std::string const listen = "0.0.0.0:" + std::to_string(adminPort_);
  StartDaemon(listen, false);
  EXPECT_TRUE(daemon_->WaitForLine("Admin interface off: " + listen +
                                       " is not a loopback address and no admin-token-file is set",
                                   10s, Stream::kStderr));
  EXPECT_EQ(Command(norla::kNorlaPing, ""), 200);
  EXPECT_EQ(Http(adminPort_, "GET", "/api/v1/status", host_).status, 0);
}

}  // namespace
