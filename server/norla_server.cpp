#include "server/norla_server.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "server/event_log.h"
#include "server/log_stream.h"
#include "server/receive_packet_handler.h"
#include "server/service_transport_events.h"
#include "transport/ip_access_list.h"
#include "transport/packet_server_thread.h"

namespace norla_server {

// The instance record. Owns the server thread object, the request handler and
// the transport's event sink; the server thread calls into both until it has
// ended.
struct tag_norlasvr_context {
  KPacketServerThread* serverThread = nullptr;
  KReceivePacketHandler handler;
  KServiceTransportEvents transportEvents;

  explicit tag_norlasvr_context(char const* products) : handler(products) {}
};

namespace {

// Ends the server thread for good, then frees what the record owns and the
// record. The thread uses the handler, so nothing is freed while it runs: when
// it has not ended (a slow or stuck packet handler), wait without limit.
void ReleaseContext(tag_norlasvr_context* context) {
  if (context == nullptr) return;
  if (KPacketServerThread* thread = context->serverThread) {
    if (!thread->Ended()) {
      thread->PostStop();
      OutputLog("", "ServiceEnd waiting for the server thread", -1, nullptr, false);
      thread->Join(0);
    }
    delete thread;
    context->serverThread = nullptr;
  }
  delete context;
}

unsigned int CreationCode(StartFailure failure) {
  switch (failure) {
    case StartFailure::kNoThreadObject:
      return kNorlaNoThreadObject;
    case StartFailure::kNoImpl:
      return kNorlaNoMemory;
    case StartFailure::kSocketOpen:
      return kNorlaSocketOpenFailed;
    case StartFailure::kThreadStart:
      break;
  }
  return kNorlaThreadStartFailed;
}

// A creation that fails removes what it built without logging "ServiceEnd".
void DiscardContext(tag_norlasvr_context* context) {
  if (context == nullptr) return;
  context->handler.DisarmServiceEnd();
  ReleaseContext(context);
}

}  // namespace

}  // namespace norla_server

using norla_server::KPacketServerThread;
using norla_server::KReceivePacketHandler;
using norla_server::KServiceTransportEvents;
using norla_server::LogStream;
using norla_server::OutputLog;
using norla_server::StartFailure;
using norla_server::tag_norlasvr_context;

void NorlaInitializeLog(void (*sink)(int priority, char const* format, ...)) {
  norla_server::sg_syslogFunc = sink;
}

void NorlaServerDefaultOptions(NorlaServerOptions* options) {
  if (options == nullptr) return;
  *options = NorlaServerOptions{};
  options->size = sizeof(NorlaServerOptions);
  options->maxClients = norla_server::kDefaultMaxClients;
  options->maxConnectionsPerAddress = norla_server::kDefaultMaxConnectionsPerAddress;
}

tag_norlasvr_context* NorlaServerCreate(unsigned int& result, char const* products,
                                        unsigned int port, unsigned int timeoutMinutes,
                                        char const* extParams, INorlaEventHandler* handler) {
  return NorlaServerCreateWithOptions(result, products, port, timeoutMinutes, extParams, handler,
                                      nullptr);
}

tag_norlasvr_context* NorlaServerCreateWithOptions(unsigned int& result, char const* products,
                                                   unsigned int port, unsigned int timeoutMinutes,
                                                   char const* extParams,
                                                   INorlaEventHandler* handler,
                                                   NorlaServerOptions const* hostOptions) {
  result = kNorlaException;
  NorlaServerOptions options;
  NorlaServerDefaultOptions(&options);
  if (hostOptions != nullptr) {
    // A host built with fewer fields keeps the defaults for the rest.
    std::memcpy(&options, hostOptions, std::min<std::size_t>(hostOptions->size, sizeof options));
    options.size = sizeof options;
  }
  tag_norlasvr_context* context = nullptr;
  try {
    norla_server::ServerThreadOptions threadOptions;
    threadOptions.accessLists = norla_server::LoadIPConfig();
    threadOptions.maxPerAddress = options.maxConnectionsPerAddress;
    context = new (std::nothrow) tag_norlasvr_context(products);
    if (context == nullptr) {
      result = kNorlaNoMemory;
      return nullptr;
    }
    context->handler.SetTimeoutSeconds(options.clientTimeoutSeconds != 0
                                           ? options.clientTimeoutSeconds
                                           : static_cast<std::uint64_t>(timeoutMinutes) * 60);
    context->handler.SetMaxClients(options.maxClients);
    if (!NorlaServerSetExtParams(context, extParams)) {
      result = kNorlaBadExtParams;
      norla_server::DiscardContext(context);
      return nullptr;
    }

    KReceivePacketHandler* requests = &context->handler;
    StartFailure failure = StartFailure::kThreadStart;
    threadOptions.events = &context->transportEvents;
    context->serverThread = KPacketServerThread::Start(
        static_cast<int>(port),
        [requests](unsigned char* body, unsigned long length, std::string const& peer) {
          return (*requests)(body, length, peer);
        },
        threadOptions, failure);
    if (context->serverThread == nullptr) {
      result = norla_server::CreationCode(failure);
      norla_server::DiscardContext(context);
      return nullptr;
    }

    context->handler.SetEventHandler(handler);
    OutputLog("", "ServiceStart", static_cast<int>(context->handler.ClientCount()), "", false);
    context->transportEvents.SetHost(handler);
    result = kNorlaOk;
    return context;
  } catch (...) {
    result = kNorlaException;
    try {
      norla_server::DiscardContext(context);
    } catch (...) {
    }
    return nullptr;
  }
}

bool NorlaServerSetExtParams(tag_norlasvr_context* instance, char const* text) {
  if (instance == nullptr) return false;
  try {
    return instance->handler.SetExtParams(text);
  } catch (...) {
    return false;
  }
}

bool NorlaServerReloadAccessLists(tag_norlasvr_context* instance) {
  if (instance == nullptr || instance->serverThread == nullptr) return false;
  try {
    std::string failure;
    auto lists = norla_server::ReloadIPConfig(failure);
    if (!lists) {
      KServiceTransportEvents::LogError("Access lists not reloaded: " + failure);
      return false;
    }
    std::string const line = "Access lists reloaded: " + std::to_string(lists->deny().size()) +
                             " deny patterns, " + std::to_string(lists->allow().size()) +
                             " allow patterns";
    instance->serverThread->SetAccessLists(std::move(lists));
    OutputLog("", line.c_str(), -1, nullptr, false);
    return true;
  } catch (...) {
    return false;
  }
}

void NorlaServerUpdateClients(tag_norlasvr_context* instance) {
  if (instance == nullptr) return;
  try {
    instance->handler.UpdateClients();
  } catch (...) {
  }
}

void NorlaServerQuit(tag_norlasvr_context* instance) {
  if (instance == nullptr || instance->serverThread == nullptr) return;
  try {
    instance->serverThread->PostStop();
    instance->serverThread->Join(5000);
  } catch (...) {
  }
}

void NorlaServerDestroy(tag_norlasvr_context* instance) {
  try {
    norla_server::ReleaseContext(instance);
  } catch (...) {
  }
}

int NorlaServerCheckDll() {
  return 1;
}

bool NorlaLog(char const* text) {
  try {
    return OutputLog("external", text, -1, nullptr, false);
  } catch (...) {
    return false;
  }
}

bool NorlaLogPost(int priority, char const* line) {
  if (line == nullptr) return false;
  try {
    return LogStream::Process().PostText(priority, line);
  } catch (...) {
    return false;
  }
}

bool NorlaLogFlush(unsigned int milliseconds) {
  try {
    return LogStream::Process().Flush(std::chrono::milliseconds(milliseconds));
  } catch (...) {
    return false;
  }
}
