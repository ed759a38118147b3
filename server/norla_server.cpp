#include "server/norla_server.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <string>

#include "server/admin_server.h"
#include "server/event_log.h"
#include "server/log_stream.h"
#include "base/store_url.h"
#include "server/receive_packet_handler.h"
#include "server/redis_client_table.h"
#include "server/service_access_lists.h"
#include "server/service_admin_source.h"
#include "server/service_state.h"
#include "server/service_transport_events.h"
#include "transport/ip_access_list.h"
#include "transport/packet_server_thread.h"

namespace norla_server {

// The instance record. Owns the server thread object, the request handler and
// the transport's event sink; the server thread calls into both until it has
// ended. The admin interface uses the handler, the lists and the server
// thread object, so it is stopped first.
struct tag_norlasvr_context {
  KPacketServerThread* serverThread = nullptr;
  KReceivePacketHandler handler;
  KServiceTransportEvents transportEvents;
  KServiceAccessLists accessLists;
  KServiceAdminSource adminSource;
  KServiceState state;
  std::unique_ptr<tally_admin::AdminServer> admin;

  tag_norlasvr_context(char const* products, unsigned int port)
      : handler(products), adminSource(handler, accessLists, port) {}
};

namespace {

constexpr unsigned int kDefaultHistoryDays = 400;
constexpr unsigned int kDefaultEventsDays = 90;
constexpr char kDefaultStoreKeyPrefix[] = "tallyd:";

// Ends the server thread for good, then frees what the record owns and the
// record. The thread uses the handler, so nothing is freed while it runs: when
// it has not ended (a slow or stuck packet handler), wait without limit.
void ReleaseContext(tag_norlasvr_context* context) {
  if (context == nullptr) return;
  context->admin.reset();
  context->handler.StopSharedTable();
  if (KPacketServerThread* thread = context->serverThread) {
    if (!thread->Ended()) {
      thread->PostStop();
      OutputLog("", "ServiceEnd waiting for the server thread", -1, nullptr, false);
      thread->Join(0);
    }
    delete thread;
    context->serverThread = nullptr;
  }
  // Nothing changes the register any more: the last batch goes before "ServiceEnd".
  context->state.Stop(context->handler);
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

// The admin interface for `options`, or its absence said in one line.
void StartAdmin(tag_norlasvr_context& context, NorlaServerOptions const& options) {
  if (options.adminListen == nullptr || *options.adminListen == '\0') return;
  tally_admin::AdminOptions admin;
  admin.listen = options.adminListen;
  if (options.adminTokenFile != nullptr) admin.tokenFile = options.adminTokenFile;
  std::string why;
  context.adminSource.SetServerThread(context.serverThread);
  context.adminSource.SetStateFile(context.state.Path());
  context.admin = tally_admin::AdminServer::Start(admin, context.adminSource, why);
  if (context.admin) {
    OutputLog("", ("Admin interface on " + context.admin->Authority()).c_str(), -1, nullptr, false);
  } else {
    KServiceTransportEvents::LogError("Admin interface off: " + why);
  }
}

// The load balancers of `options`, or none with one line saying why.
KProxySources ProxySources(NorlaServerOptions const& options) {
  KProxySources sources;
  if (options.proxyProtocolFrom == nullptr || *options.proxyProtocolFrom == '\0') return sources;
  std::string why;
  if (!KProxySources::Parse(options.proxyProtocolFrom, sources, why)) {
    KServiceTransportEvents::LogError("PROXY headers off: " + why);
  }
  return sources;
}

// The shared store `options` name, if any, for the handler; false with one
// error line when it cannot be used.
bool AttachStore(KReceivePacketHandler& handler, NorlaServerOptions const& options) {
  if (options.store == nullptr) return true;
  tally::StoreUrl url;
  std::string why;
  if (!tally::ParseStoreUrl(options.store, url, why)) {
    KServiceTransportEvents::LogError(std::string("Store ") + options.store + " unusable: " + why);
    return false;
  }
  if (url.kind == tally::StoreUrl::Kind::kMemory) return true;
  std::string password;
  if (options.storePasswordFile != nullptr && *options.storePasswordFile != '\0') {
    std::ifstream file(options.storePasswordFile);
    if (!std::getline(file, password) || password.empty()) {
      KServiceTransportEvents::LogError(std::string("Store password unreadable from ") +
                                        options.storePasswordFile);
      return false;
    }
    while (!password.empty() && std::isspace(static_cast<unsigned char>(password.back()))) {
      password.pop_back();
    }
  }
  std::string prefix = options.storeKeyPrefix != nullptr ? options.storeKeyPrefix : "";
  if (prefix.empty()) prefix = kDefaultStoreKeyPrefix;
  handler.UseSharedTable(
      std::make_unique<RedisClientTable>(std::move(url), std::move(prefix), std::move(password)));
  return true;
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
  options->historyDays = norla_server::kDefaultHistoryDays;
  options->eventsDays = norla_server::kDefaultEventsDays;
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
    threadOptions.proxySources = norla_server::ProxySources(options);
    context = new (std::nothrow) tag_norlasvr_context(products, port & 0xFFFF);
    if (context == nullptr) {
      result = kNorlaNoMemory;
      return nullptr;
    }
    context->accessLists.Loaded(*threadOptions.accessLists);
    context->handler.SetTimeoutSeconds(options.clientTimeoutSeconds != 0
                                           ? options.clientTimeoutSeconds
                                           : static_cast<std::uint64_t>(timeoutMinutes) * 60);
    context->handler.SetMaxClients(options.maxClients);
    if (!NorlaServerSetExtParams(context, extParams)) {
      result = kNorlaBadExtParams;
      norla_server::DiscardContext(context);
      return nullptr;
    }

    if (!norla_server::AttachStore(context->handler, options)) {
      result = kNorlaBadStore;
      norla_server::DiscardContext(context);
      return nullptr;
    }
    if (options.stateFile != nullptr && *options.stateFile != '\0') {
      if (context->handler.HasSharedTable()) {
        // The shared store keeps the register; a file beside it would disagree.
        OutputLog("", (std::string("State file ") + options.stateFile +
                       " not used: the register lives in the shared store").c_str(),
                  -1, nullptr, false);
      } else {
        context->state.Start({options.stateFile, options.historyDays, options.eventsDays},
                             context->handler);
      }
    }

    KReceivePacketHandler* requests = &context->handler;
    StartFailure failure = StartFailure::kThreadStart;
    threadOptions.events = &context->transportEvents;
    if (context->handler.HasSharedTable()) {
      threadOptions.asyncHandler = [requests](unsigned char const* body, unsigned long length,
                                              std::string const& peer,
                                              norla_server::PacketReply reply) {
        requests->Answer(body, length, peer, std::move(reply));
      };
    }
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
    norla_server::StartAdmin(*context, options);
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
    norla_server::AccessListSummary summary;
    std::string failure;
    return instance->accessLists.Reload(*instance->serverThread, summary, failure);
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
    instance->admin.reset();
    instance->handler.StopSharedTable();
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
