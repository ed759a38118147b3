// tally-refserver: the reference server for tally-bench --mode echo. Runs
// until SIGINT or SIGTERM.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "bench/ref_server.h"

int main(int argc, char** argv) {
  unsigned long port = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    char* end = nullptr;
    if (arg == "--port" && i + 1 < argc &&
        (port = std::strtoul(argv[++i], &end, 10), *end == '\0' && port <= 65535)) {
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      std::puts("usage: tally-refserver [--port P]\n"
                "Echoes one frame per connection with a fresh CRC, on one thread, until\n"
                "SIGINT or SIGTERM. Port 0 (the default) picks a free port; the port in use\n"
                "is printed as 'listening on port P'.");
      return 0;
    }
    std::fprintf(stderr, "tally-refserver: unexpected argument '%s'\n", arg.c_str());
    return 2;
  }

  try {
    boost::asio::io_context io(1);
    tally_bench::RefServer server(io, static_cast<std::uint16_t>(port));
    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](boost::system::error_code, int) {
      server.Close();
      io.stop();
    });
    std::printf("tally-refserver: listening on port %u\n", static_cast<unsigned>(server.port()));
    std::fflush(stdout);
    io.run();
    std::printf("tally-refserver: %lu replies\n", server.served());
    return 0;
  } catch (std::exception const& e) {
    std::fprintf(stderr, "tally-refserver: %s\n", e.what());
    return 1;
  }
}
