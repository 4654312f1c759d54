// The console where cpp-httplib is not built in (the Windows build): the gateway refuses an
// [http] setting instead of running without what it was asked for.
#include "gateway/Http.h"

namespace trovel::gateway {

struct HttpServer::Impl {};

HttpServer::HttpServer(HttpSettings, std::vector<LineService*>, StateStore&, Log&) {}
HttpServer::~HttpServer() = default;

bool HttpServer::Start(std::string& error)
{
    error = "the console is not in this build of trovel-gateway (it is built with cpp-httplib on Linux only); "
            "remove --http and the [http] table, or run the Linux gateway";
    return false;
}

void HttpServer::Stop() {}
std::string HttpServer::Url() const { return {}; }

} // namespace trovel::gateway
