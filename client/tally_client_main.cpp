// tally-client: sends one request to tallyd and prints the decoded reply.
//
// Exit status: 0 reply code 200; 1 any other reply code; 2 usage error;
// 3 the daemon could not be reached or sent no usable reply.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/request_builder.h"
#include "client/tally_client.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnreachable = 3;

void PrintUsage(FILE* out) {
  std::fprintf(
      out,
      "usage: tally-client [--host H] [--port P] [--product ID] [--bind ADDR] [--timeout MS]\n"
      "                    ping|login|alive|exit [--unique U] [--app A]\n"
      "Sends one request to tallyd and prints the reply. --unique and --app are required\n"
      "for login, alive and exit. Defaults: host 127.0.0.1, port %u, product %s,\n"
      "timeout 5000 ms.\n"
      "Exit status: 0 reply code 200, 1 other reply code, 2 usage error, 3 no reply.\n",
      unsigned{tally::kDefaultPort}, tally::kProductId);
}

bool ParseNumber(char const* text, unsigned long max, unsigned long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtoul(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && value <= max;
}

int CommandNumber(std::string const& word) {
  if (word == "ping") return norla::kNorlaPing;
  if (word == "login") return norla::kNorlaLogin;
  if (word == "alive") return norla::kNorlaAlive;
  if (word == "exit") return norla::kNorlaExit;
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  tally::ClientOptions options;
  std::string product = tally::kProductId, unique, app;
  int command = -1;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    unsigned long number = 0;
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return kExitOk;
    } else if (arg == "--host" && hasValue) {
      options.host = argv[++i];
    } else if (arg == "--port" && hasValue) {
      if (!ParseNumber(argv[++i], 65535, number) || number == 0) {
        std::fprintf(stderr, "tally-client: invalid port '%s'\n", argv[i]);
        return kExitUsage;
      }
      options.port = static_cast<std::uint16_t>(number);
    } else if (arg == "--timeout" && hasValue) {
      if (!ParseNumber(argv[++i], 3600000, number) || number == 0) {
        std::fprintf(stderr, "tally-client: invalid timeout '%s'\n", argv[i]);
        return kExitUsage;
      }
      options.timeout = std::chrono::milliseconds(number);
    } else if (arg == "--bind" && hasValue) {
      options.bindAddress = argv[++i];
    } else if (arg == "--product" && hasValue) {
      product = argv[++i];
    } else if (arg == "--unique" && hasValue) {
      unique = argv[++i];
    } else if (arg == "--app" && hasValue) {
      app = argv[++i];
    } else if (command < 0 && CommandNumber(arg) >= 0) {
      command = CommandNumber(arg);
    } else {
      std::fprintf(stderr, "tally-client: unexpected argument '%s'\n", arg.c_str());
      PrintUsage(stderr);
      return kExitUsage;
    }
  }
  if (command < 0) {
    std::fprintf(stderr, "tally-client: no command given\n");
    PrintUsage(stderr);
    return kExitUsage;
  }
  if (command != norla::kNorlaPing && (unique.empty() || app.empty())) {
    std::fprintf(stderr, "tally-client: --unique and --app are required for this command\n");
    return kExitUsage;
  }

  tally::ExchangeResult result = tally::SendCommand(options, command, product, unique, app);
  if (result.error != tally::ExchangeError::kNone) {
    std::fprintf(stderr, "tally-client: %s:%u: %s%s%s\n", options.host.c_str(),
                 static_cast<unsigned>(options.port), tally::ExchangeErrorText(result.error),
                 result.detail.empty() ? "" : ": ", result.detail.c_str());
    return kExitUnreachable;
  }

  tally::TReply const& reply = result.reply;
  std::printf("code: %d\n", static_cast<int>(reply.code));
  std::printf("hash: %s\n", reply.hash.c_str());
  std::printf("current clients: %lu\n", reply.currentClients);
  for (auto const& [key, value] : reply.extensions) {
    std::printf("%s: %s\n", key.c_str(), value.c_str());
  }
  return reply.code == tally_protocol::kReplyOk ? kExitOk : kExitRefused;
}
