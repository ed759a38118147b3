// tallyctl: the operator's view of a running tallyd through its admin
// interface. Exit status: 0 done; 1 not found or refused; 2 usage error;
// 3 the daemon could not be reached or gave a malformed answer.

#include <cstdio>
#include <fstream>
#include <sstream>

#include "ctl/ctl_runner.h"

namespace {

using namespace tallyctl;

constexpr char kWhiteSpace[] = " \t\r\n";

bool ReadToken(std::string const& path, std::string& token) {
  std::ifstream file(path);
  std::ostringstream content;
  if (!(content << file.rdbuf())) return false;
  token = content.str();
  token.erase(0, token.find_first_not_of(kWhiteSpace));
  token.erase(token.find_last_not_of(kWhiteSpace) + 1);
  return !token.empty();
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  CtlCommand const command = CtlCommand::Parse({argv + 1, argv + argc}, error);
  if (!error.empty()) {
    std::fprintf(stderr, "tallyctl: %s\n%s", error.c_str(), kUsage);
    return kExitUsage;
  }
  if (command.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  std::string token;
  if (!command.tokenFile.empty() && !ReadToken(command.tokenFile, token)) {
    std::fprintf(stderr, "tallyctl: no token in '%s'\n", command.tokenFile.c_str());
    return kExitUsage;
  }
  return CtlRunner(command, AdminHttpClient(command.admin, token)).Run();
}
