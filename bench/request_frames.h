#pragma once

// The bytes of every request the load sends, and the reading of replies,
// with the load generator's own costs kept low: the packet key is built once
// per run, and a request's frame is built once and reused while its Date
// field is current (the daemon checks the date, never the time).
// Socket-free.

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_options.h"
#include "bench/request_plan.h"
#include "transport/packet_cipher.h"

namespace tally_bench {

class RequestFrames {
 public:
  using Clock = std::chrono::system_clock;

  // `uniqueIds[i]` is the UniqueID of plan id i; it must outlive this object.
  RequestFrames(BenchOptions const& options, std::vector<std::string> const& uniqueIds);
  RequestFrames(RequestFrames const&) = delete;
  RequestFrames& operator=(RequestFrames const&) = delete;

  // The whole frame (header and encrypted body) for the request. Empty when
  // the request cannot be built. Valid until the next call.
  std::vector<unsigned char> const& Frame(TPlannedRequest const& request);

  // Reads a reply frame to a request whose body was `sentBody` bytes. On
  // success returns true with the reply code; otherwise false with the error
  // kind ("bad frame", "bad checksum", "decrypt", "bad reply") and a detail.
  bool ReadReply(unsigned char const* frame, std::size_t size, std::size_t sentBody, int& code,
                 std::string& kind, std::string& detail) const;

  // Lets tests move the clock across a day boundary.
  void SetNow(std::function<Clock::time_point()> now) { now_ = std::move(now); }
  std::size_t Builds() const { return builds_; }  // frames built so far

 private:
  struct Entry {
    std::vector<unsigned char> frame;
    long day = -1;  // UTC day the frame's Date field names
  };

  bool Build(TPlannedRequest const& request, Entry& entry);

  BenchOptions const& options_;
  std::vector<std::string> const& uniqueIds_;
  std::vector<Entry> entries_;  // [id + 1][command]; row 0 holds PING
  std::vector<unsigned char> empty_;
  norla::PacketKey const packetKey_;
  std::function<Clock::time_point()> now_;
  std::size_t builds_ = 0;
};

}  // namespace tally_bench
